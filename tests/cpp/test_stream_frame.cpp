// Frame buffers, frames, the record arena and the stream counters.
#include <gtest/gtest.h>

#include <thread>

#include "korvalite/gige/stream/detail/record_arena.hpp"
#include "korvalite/gige/stream/frame.hpp"
#include "korvalite/gige/stream/stats.hpp"

using namespace korvalite;
using namespace korvalite::gige;
using namespace korvalite::gige::stream;

TEST(FramePool, SlotsCirculateAndReturnFromAnyThread) {
    auto pool = *FramePool::create(2, 100);
    auto a = pool.try_take();
    auto b = pool.try_take();
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(pool.try_take());
    EXPECT_EQ(a->buffer.size(), 100u);
    EXPECT_EQ(a->buffer.bytes()[99], std::byte{0});
    a->buffer.bytes()[0] = std::byte{7};
    auto frame = std::make_shared<const Frame>(PooledBuf(std::move(*a), pool.returns()), FrameInfo{});
    std::thread([f = std::move(frame)]() mutable { f.reset(); }).join();
    auto again = pool.try_take();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->buffer.bytes()[0], std::byte{7});  // never cleared

    EXPECT_FALSE(FramePool::create(0, 100)->try_take());
    EXPECT_FALSE(FramePool::create(1, std::uint64_t{1} << 62));  // memory that cannot be had
    // More than the machine's memory in all is refused at once, before any buffer is touched.
    EXPECT_FALSE(FramePool::create(std::size_t{1} << 40, 4096));
}

TEST(FramePool, ABufferOutlivingItsPoolIsFreed) {
    std::optional<PooledBuf> buf;
    {
        auto pool = *FramePool::create(1, 16);
        buf.emplace(*pool.try_take(), pool.returns());
    }
    EXPECT_EQ(buf->bytes().size(), 16u);
    buf.reset();  // the pool's receiving side is gone: released, not queued
}

TEST(Frame, DataStopsAtTheHighestOffsetWritten) {
    auto pool = *FramePool::create(1, 100);
    FrameInfo info;
    info.data_end = 40;
    info.pixel_format = proto::PixelFormat{0x010C0099};
    Frame f(PooledBuf(*pool.try_take(), pool.returns()), info);
    EXPECT_EQ(f.data().size(), 40u);
    EXPECT_EQ(f.buffer().size(), 100u);
    EXPECT_EQ(f.bits_per_pixel(), 12);
    EXPECT_EQ(f.pixel_format().name(), "0x010c0099");
}

TEST(Frame, LeaderFieldsAndPayloadKinds) {
    struct Case {
        std::uint16_t raw_type;
        PayloadKind kind;
        std::uint16_t type;
        HasChunk chunk;
    };
    const Case cases[] = {
        {0x0001, PayloadKind::Image, 1, HasChunk::No},     {0x4001, PayloadKind::Image, 1, HasChunk::Yes},
        {0x0005, PayloadKind::Image, 5, HasChunk::Yes},    {0x0004, PayloadKind::ChunkData, 4, HasChunk::Yes},
        {0x0002, PayloadKind::Other, 2, HasChunk::No},
    };
    for (const auto& c : cases) {
        std::array<std::byte, 20> data{};
        proto::put_u16(data, 2, c.raw_type);
        proto::put_u32(data, 16, 640);
        FrameInfo info;
        fill_leader_fields(info, proto::decode_leader(data));
        EXPECT_EQ(info.payload_kind, c.kind) << c.raw_type;
        EXPECT_EQ(info.payload_type, c.type) << c.raw_type;
        EXPECT_EQ(info.has_chunk, c.chunk) << c.raw_type;
        EXPECT_EQ(info.width, 640u);
    }
    FrameInfo none;
    none.width = 5;
    fill_leader_fields(none, proto::decode_leader({}));
    EXPECT_EQ(none.payload_kind, PayloadKind::Other);
    EXPECT_EQ(none.payload_type, 0);
    EXPECT_EQ(none.has_chunk, HasChunk::NoLeaderInfo);
    EXPECT_EQ(none.width, 0u);
}

TEST(Frame, TicksToNanoseconds) {
    EXPECT_EQ(device_ticks_to_ns(5'000'000'000, 1'000'000'000, 42), 5'000'000'000u);
    EXPECT_EQ(device_ticks_to_ns(5'000'000'000, 0, 42), 42u);
    EXPECT_EQ(device_ticks_to_ns(125'000'001, 125'000'000, 0), 1'000'000'008u);
    EXPECT_EQ(device_ticks_to_ns(3, 40'000'000'000, 0), 0u);  // no wrap in the fraction
    EXPECT_EQ(device_ticks_to_ns(30'000'000'000, 40'000'000'000, 0), 750'000'000u);
}

TEST(Frame, StatusNames) {
    const char* names[] = {"Complete",           "MissingPackets", "Timeout",         "Aborted",     "WrongPacketId",
                           "PayloadUnsupported", "SizeMismatch",   "OversizedPacket", "EarlyTrailer",
                           "MalformedChunks",    "IncompletePayload"};
    for (std::uint8_t i = 0; i < std::size(names); ++i)
        EXPECT_STREQ(frame_status_name(static_cast<FrameStatus>(i)), names[i]);
}

TEST(RecordArena, RecyclesBlocksAndFallsBackToTheHeap) {
    auto arena = std::make_shared<RecordArena>(2, 256);
    ArenaAllocator<int> alloc(arena);
    std::vector<std::shared_ptr<int>> held;
    for (int i = 0; i < 3; ++i) held.push_back(std::allocate_shared<int>(alloc, i));
    EXPECT_EQ(arena->free_blocks(), 0u);
    EXPECT_EQ(arena->take(300, 8), nullptr);
    held.clear();
    EXPECT_EQ(arena->free_blocks(), 2u);
    auto survivor = std::allocate_shared<int>(alloc, 9);
    alloc = ArenaAllocator<int>(std::make_shared<RecordArena>(1, 64));
    arena.reset();
    EXPECT_EQ(*survivor, 9);  // the record keeps its arena alive
}

TEST(StreamStats, TextFormListsEveryCounterInOrder) {
    StreamStats s;
    s.packets = 10;
    s.bytes = 14000;
    s.frames_dropped = 3;
    EXPECT_EQ(to_string(s),
              "StreamStats { packets: 10, bytes: 14000, completed_frames: 0, failed_frames: 0, timed_out_frames: 0, "
              "size_mismatch_frames: 0, oversized_packet_frames: 0, early_trailer_frames: 0, "
              "unsupported_payload_frames: 0, aborted_frames: 0, missing_frames: 0, underruns: 0, missing_packets: 0, resend_requests: 0, "
              "resent_packets: 0, resend_ratio_reached: 0, resend_disabled: 0, duplicated_packets: 0, "
              "error_packets: 0, ignored_packets: 0, unsupported_frames: 0, size_mismatch_errors: 0, "
              "frames_dropped: 3 }");
    StreamShared shared;
    EXPECT_EQ(shared.snapshot(), StreamStats{});
    shared.publish(s);
    EXPECT_EQ(shared.snapshot(), s);
}
