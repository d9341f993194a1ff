#include "fanout.h"

#include <algorithm>
#include <cstring>
#include <utility>

Fanout::Queue *Fanout::find(int id)
{
	for (Queue &q : queues_)
		if (q.id == id)
			return &q;
	return nullptr;
}

const Fanout::Queue *Fanout::find(int id) const
{
	return const_cast<Fanout *>(this)->find(id);
}

int Fanout::join()
{
	queues_.push_back({next_id_, ring_});
	return next_id_++;
}

void Fanout::leave(int id)
{
	queues_.erase(std::remove_if(queues_.begin(), queues_.end(), [&](const Queue &q) { return q.id == id; }),
		      queues_.end());
}

size_t Fanout::push(Record r)
{
	frames_++;
	latest_.assign(r->data(), strnlen(r->data(), std::min<size_t>(16, r->size())));
	if (rows_ > 0) {
		ring_.push_back(r);
		if (ring_.size() > rows_)
			ring_.pop_front();
	}
	size_t behind = 0;
	for (Queue &q : queues_) {
		q.q.push_back(r);
		if (q.q.size() > max_) {
			// Skip ahead: keep the newest half, so the viewer catches up with the present.
			q.q.erase(q.q.begin(), q.q.end() - (long)(max_ / 2));
			skipped_++;
			behind++;
		}
	}
	return behind;
}

Record Fanout::take(int id)
{
	Queue *q = find(id);
	if (!q || q->q.empty())
		return nullptr;
	Record r = q->q.front();
	q->q.pop_front();
	return r;
}

size_t Fanout::queued(int id) const
{
	const Queue *q = find(id);
	return q ? q->q.size() : 0;
}

bool Handover::put(Record r)
{
	std::lock_guard<std::mutex> lock(m_);
	bool was_empty = q_.empty();
	q_.push_back(std::move(r));
	if (q_.size() > max_) {
		q_.pop_front();
		dropped_++;
	}
	return was_empty;
}

std::deque<Record> Handover::take()
{
	std::lock_guard<std::mutex> lock(m_);
	return std::exchange(q_, {});
}

long long Handover::dropped() const
{
	std::lock_guard<std::mutex> lock(m_);
	return dropped_;
}
