// The web view's logic, apart from the network: the ring of recent records that a new viewer
// is sent first, and the fan-out of each new record to every viewer's queue. A viewer's queue
// is bounded: one that falls behind skips ahead to the newest records, so no viewer can hold
// back the input or make memory grow. Records are shared, not copied, between queues. The
// Handover carries records from the thread reading standard input to the server's, bounded too.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using Record = std::shared_ptr<const std::string>;

class Fanout {
public:
	// rows: records kept for new viewers; per_viewer: the most a viewer's queue holds.
	Fanout(size_t rows, size_t per_viewer) : rows_(rows), max_(per_viewer) {}

	// A viewer joins: its queue starts with the recent records, oldest first.
	int join();
	void leave(int id);
	// A new record: into the ring and every queue. Returns how many viewers skipped ahead.
	size_t push(Record r);
	// The next record for a viewer, or null when its queue is empty.
	Record take(int id);
	size_t queued(int id) const;

	size_t viewers() const { return queues_.size(); }
	long long frames() const { return frames_; }
	const std::string &latest() const { return latest_; }  // the newest stamp, or ""
	long long skipped() const { return skipped_; }

private:
	size_t rows_, max_;
	std::deque<Record> ring_;
	struct Queue {
		int id;
		std::deque<Record> q;
	};
	std::vector<Queue> queues_;
	int next_id_ = 1;
	long long frames_ = 0, skipped_ = 0;
	std::string latest_;
	Queue *find(int id);
	const Queue *find(int id) const;
};

// From the input thread to the server's: a bounded queue where the newest records win. The
// reader puts each record and never waits; the server takes all there is. When the server falls
// behind, the oldest waiting records are dropped (counted), so memory stays flat whatever the
// input's pace, and no more than one wake-up need be pending at a time.
class Handover {
public:
	explicit Handover(size_t max) : max_(max) {}
	// Returns true when the queue was empty: the taker has to be woken.
	bool put(Record r);
	// Everything waiting, oldest first.
	std::deque<Record> take();
	long long dropped() const;

private:
	mutable std::mutex m_;
	size_t max_;
	std::deque<Record> q_;
	long long dropped_ = 0;
};
