#include "korvalite/sim/write_log.hpp"

namespace korvalite::sim {

void WriteLog::record(std::uint16_t command, std::uint32_t address, gige::proto::ByteView data,
                      const net::Endpoint& source) {
    std::lock_guard lock(mutex_);
    records_.push_back(WriteRecord{next_++, command, address, gige::proto::ByteVec(data.begin(), data.end()), source});
    while (records_.size() > capacity_) records_.pop_front();
}

std::vector<WriteRecord> WriteLog::since(std::uint64_t since) const {
    std::lock_guard lock(mutex_);
    std::vector<WriteRecord> out;
    for (const auto& r : records_)
        if (r.sequence >= since) out.push_back(r);
    return out;
}

void WriteLog::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace korvalite::sim
