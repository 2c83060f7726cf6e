#pragma once
// The register and memory writes the device accepted from hosts, in the order it executed them.
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "korvalite/gige/proto/bytes.hpp"
#include "korvalite/net/address.hpp"

namespace korvalite::sim {

struct WriteRecord {
    std::uint64_t sequence = 0;  // 0, 1, 2, ... over the device's life
    std::uint16_t command = 0;   // 0x0082 WRITEREG or 0x0086 WRITEMEM
    std::uint32_t address = 0;
    gige::proto::ByteVec data;   // the bytes written (a register's value big-endian)
    net::Endpoint source;

    // The written value of a WRITEREG record.
    std::uint32_t value() const { return data.size() >= 4 ? gige::proto::u32_at(data, 0) : 0; }
};

class WriteLog {
public:
    explicit WriteLog(std::size_t capacity) : capacity_(capacity) {}

    void record(std::uint16_t command, std::uint32_t address, gige::proto::ByteView data, const net::Endpoint& source);
    // Records with a sequence number of at least `since`, oldest first.
    std::vector<WriteRecord> since(std::uint64_t since) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::size_t capacity_;
    std::uint64_t next_ = 0;
    std::deque<WriteRecord> records_;
};

}  // namespace korvalite::sim
