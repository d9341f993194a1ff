#include "slots.h"

#include <algorithm>
#include <cstdio>

Limits::Limits(const PoolSize (&sizes)[POOLS])
{
	for (int p = 0; p < POOLS; p++)
		size_[p] = sizes[p];
}

Pool Limits::admit(const std::string &addr)
{
	Counts &c = by_addr_[addr];
	for (int p = 0; p < POOLS; p++)
		if (used_[p] < size_[p].total && c.n[p] < size_[p].per_address) {
			used_[p]++;
			c.n[p]++;
			return (Pool)p;
		}
	bool empty = true;
	for (size_t n : c.n)
		empty = empty && n == 0;
	if (empty)
		by_addr_.erase(addr);
	return NO_POOL;
}

void Limits::release(const std::string &addr, Pool p)
{
	auto it = by_addr_.find(addr);
	if (p == NO_POOL || it == by_addr_.end() || it->second.n[p] == 0)
		return;
	used_[p]--;
	it->second.n[p]--;
	for (size_t n : it->second.n)
		if (n)
			return;
	by_addr_.erase(it);
}

size_t Limits::used(const std::string &addr, Pool p) const
{
	auto it = by_addr_.find(addr);
	return it == by_addr_.end() ? 0 : it->second.n[p];
}

std::string address_key(const unsigned char *b, size_t n)
{
	static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
	char s[48];
	if (n == 16 && std::equal(b, b + 12, mapped)) {
		b += 12;
		n = 4;
	}
	if (n == 4)
		snprintf(s, sizeof s, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
	else if (n == 16)
		snprintf(s, sizeof s, "%02x%02x:%02x%02x:%02x%02x:%02x%02x::/64", b[0], b[1], b[2], b[3], b[4], b[5], b[6],
			 b[7]);
	else
		snprintf(s, sizeof s, "?");
	return s;
}

Slot &Slot::operator=(Slot &&o) noexcept
{
	if (this != &o) {
		reset();
		l_ = o.l_;
		addr_ = std::move(o.addr_);
		pool_ = o.pool_;
		o.l_ = nullptr;
	}
	return *this;
}

void Slot::reset()
{
	if (l_)
		l_->release(addr_, pool_);
	l_ = nullptr;
}
