// The work pipe-web does away from its network thread, bounded: a few worker threads taking
// jobs from a queue of fixed length (a job that finds it full is refused, and the client told to
// come back), and a cache of what the jobs made (pictures, pages), limited in bytes, the least
// recently used dropped first. No network code: a job hands its result back by posting to the
// server's thread itself.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Works {
public:
	Works(int threads, size_t queue);
	~Works();  // stop()
	Works(const Works &) = delete;
	// Queues a job; false when the queue is full (or stopping): the job is not run.
	bool submit(std::function<void()> job);
	// Jobs not started are dropped, those running finish; then the threads end.
	void stop();
	size_t waiting() const;
	size_t running() const;

private:
	size_t max_;
	mutable std::mutex m_;
	std::condition_variable cv_;
	std::deque<std::function<void()>> q_;
	std::vector<std::thread> threads_;
	size_t busy_ = 0;
	bool stopping_ = false;
	void loop();
};

// Made bytes by key, shared by the threads; at most limit bytes held.
class Shelf {
public:
	explicit Shelf(size_t limit) : limit_(limit) {}
	std::shared_ptr<const std::string> get(const std::string &key);
	void put(const std::string &key, std::shared_ptr<const std::string> value);
	size_t bytes() const;
	size_t items() const;
	long dropped() const;

private:
	size_t limit_, bytes_ = 0;
	long dropped_ = 0;
	mutable std::mutex m_;
	std::list<std::pair<std::string, std::shared_ptr<const std::string>>> order_;  // the most recent first
	std::map<std::string, decltype(order_)::iterator> at_;
};
