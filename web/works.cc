// Worker threads and the cache of what they made (see works.h).
#include "works.h"

Works::Works(int threads, size_t queue) : max_(queue)
{
	for (int i = 0; i < threads; i++)
		threads_.emplace_back([this] { loop(); });
}

Works::~Works()
{
	stop();
}

bool Works::submit(std::function<void()> job)
{
	{
		std::lock_guard<std::mutex> l(m_);
		if (stopping_ || q_.size() >= max_)
			return false;
		q_.push_back(std::move(job));
	}
	cv_.notify_one();
	return true;
}

void Works::stop()
{
	{
		std::lock_guard<std::mutex> l(m_);
		stopping_ = true;
		q_.clear();
	}
	cv_.notify_all();
	for (std::thread &t : threads_)
		if (t.joinable())
			t.join();
}

size_t Works::waiting() const
{
	std::lock_guard<std::mutex> l(m_);
	return q_.size();
}

size_t Works::running() const
{
	std::lock_guard<std::mutex> l(m_);
	return busy_;
}

void Works::loop()
{
	for (;;) {
		std::function<void()> job;
		{
			std::unique_lock<std::mutex> l(m_);
			cv_.wait(l, [this] { return stopping_ || !q_.empty(); });
			if (q_.empty())
				return;
			job = std::move(q_.front());
			q_.pop_front();
			busy_++;
		}
		job();
		job = nullptr;  // what it held goes here, on this thread, before the next
		std::lock_guard<std::mutex> l(m_);
		busy_--;
	}
}

std::shared_ptr<const std::string> Shelf::get(const std::string &key)
{
	std::lock_guard<std::mutex> l(m_);
	auto it = at_.find(key);
	if (it == at_.end())
		return nullptr;
	order_.splice(order_.begin(), order_, it->second);
	return it->second->second;
}

void Shelf::put(const std::string &key, std::shared_ptr<const std::string> value)
{
	std::lock_guard<std::mutex> l(m_);
	if (auto it = at_.find(key); it != at_.end()) {
		bytes_ -= it->second->second->size() + it->first.size();
		order_.erase(it->second);
		at_.erase(it);
	}
	size_t n = value->size() + key.size();
	if (n > limit_)
		return;
	order_.emplace_front(key, std::move(value));
	at_[key] = order_.begin();
	bytes_ += n;
	while (bytes_ > limit_) {
		auto &old = order_.back();
		bytes_ -= old.second->size() + old.first.size();
		at_.erase(old.first);
		order_.pop_back();
		dropped_++;
	}
}

size_t Shelf::bytes() const
{
	std::lock_guard<std::mutex> l(m_);
	return bytes_;
}

size_t Shelf::items() const
{
	std::lock_guard<std::mutex> l(m_);
	return order_.size();
}

long Shelf::dropped() const
{
	std::lock_guard<std::mutex> l(m_);
	return dropped_;
}
