// Who may hold a connection to pipe-web, apart from the network: the slots are shared out by
// client address, so that no one address (nor a few) can take them all and lock the others out.
// Three pools: the ordinary slots for pages and viewers, a few kept for /healthz when those are
// full, and a few in which an over-full server answers 503 rather than nothing. Each pool has a
// total and a share per address; a connection takes the first pool with room, or none and is
// closed at once. The numbers are pipe-web's; the class only keeps the books.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>

// The pools, in the order a connection tries them.
enum Pool { SERVE, HEALTH, REFUSE, POOLS, NO_POOL = -1 };

struct PoolSize {
	size_t total, per_address;
};

class Limits {
public:
	explicit Limits(const PoolSize (&sizes)[POOLS]);
	// A connection from addr: counted into the first pool with room for it and that address.
	Pool admit(const std::string &addr);
	// Its end: the slot comes back.
	void release(const std::string &addr, Pool p);
	size_t used(Pool p) const { return used_[p]; }
	size_t used(const std::string &addr, Pool p) const;
	size_t addresses() const { return by_addr_.size(); }  // with a slot, any pool
	const PoolSize &size(Pool p) const { return size_[p]; }

private:
	PoolSize size_[POOLS];
	size_t used_[POOLS] = {};
	struct Counts {
		size_t n[POOLS] = {};
	};
	std::map<std::string, Counts> by_addr_;
};

// The key an address is counted under: IPv4 as its dotted quad (IPv4-mapped IPv6 too), IPv6 by
// its /64 prefix, the block one host or one home is usually given. bytes: 4 or 16, network order.
std::string address_key(const unsigned char *bytes, size_t n);

// A held slot, given back when it goes; moved from a connection to the viewer it becomes.
class Slot {
public:
	Slot() = default;
	Slot(Limits *l, std::string addr, Pool p) : l_(l), addr_(std::move(addr)), pool_(p) {}
	Slot(Slot &&o) noexcept : l_(o.l_), addr_(std::move(o.addr_)), pool_(o.pool_) { o.l_ = nullptr; }
	Slot &operator=(Slot &&o) noexcept;
	Slot(const Slot &) = delete;
	~Slot() { reset(); }
	void reset();
	Pool pool() const { return l_ ? pool_ : NO_POOL; }

private:
	Limits *l_ = nullptr;
	std::string addr_;
	Pool pool_ = NO_POOL;
};
