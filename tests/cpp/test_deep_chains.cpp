// Long chains of references end in a TooDeep error naming the feature asked for, on every path
// that follows links, without exhausting the native stack of a thread with a small one.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>
#include <string_view>

#include "graph_util.hpp"
#include "korvalite/genicam/node_read.hpp"
#include "korvalite/genicam/node_write.hpp"
#include "memory_port.hpp"

using namespace korvalite;
using namespace korvalite::genicam;
using test_support::build_graph;
using test_support::error_of;
using test_support::id_of;

namespace {

// A small stack: 1 MiB (a Python worker thread has 8 MiB by default). The sanitizers' frames
// are several times larger, so their builds get four times as much.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kSmallStack = std::size_t{4} << 20;
#else
constexpr std::size_t kSmallStack = std::size_t{1} << 20;
#endif

// Runs `fn` on a thread with a small stack.
void on_small_stack(std::function<void()> fn) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        (*static_cast<std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &fn), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

// `n` links of one kind, node i referring to node i + 1; the last one holds the value 7 (or
// the text "end", or for registers: reads memory at address 0).
std::string chain(std::string_view kind, int n) {
    std::string xml;
    auto element = [&](int i, std::string_view tag, std::string_view inner) {
        xml.append("<").append(tag).append(" Name=\"N").append(std::to_string(i)).append("\">");
        xml.append(inner).append("</").append(tag).append(">");
    };
    for (int i = 0; i < n - 1; ++i) {
        std::string next("N");
        next += std::to_string(i + 1);
        std::string inner;
        if (kind == "SwissKnife")
            inner.append("<pVariable Name=\"V\">").append(next).append("</pVariable><Formula>V</Formula>");
        else if (kind == "IntReg") inner.append("<pAddress>").append(next).append("</pAddress><Length>4</Length>");
        else inner.append("<pValue>").append(next).append("</pValue>");
        if (kind == "Converter") inner.append("<FormulaFrom>TO</FormulaFrom><FormulaTo>FROM</FormulaTo>");
        element(i, kind, inner);
    }
    if (kind == "String") element(n - 1, "String", "<Value>end</Value>");
    else if (kind == "IntReg") element(n - 1, "IntReg", "<Address>0</Address><Length>4</Length>");
    else element(n - 1, "Integer", "<Value>7</Value>");
    return xml;
}

GenicamResult<std::string> read_as_text(Genicam& g, NodeId id, test_support::MemoryPort& port) {
    if (std::holds_alternative<String>(g[id].node)) return string_value(g, id, port);
    auto value = float_value(g, id, port);
    if (!value) return std::unexpected(value.error());
    return std::to_string(*value);
}

}  // namespace

TEST(DeepChains, EveryKindOfLinkStopsAtTheDepthLimitWithoutExhaustingTheStack) {
    for (const std::string kind : {"Integer", "String", "Converter", "SwissKnife", "IntReg"}) {
        const int n = kind == "IntReg" ? 10000 : 20000;
        Genicam deep = build_graph(chain(kind, n));
        Genicam shallow = build_graph(chain(kind, 200));
        on_small_stack([&] {
            test_support::MemoryPort port;
            const std::string expected = "evaluating 'N0': more than " + std::to_string(kMaxEvaluationDepth) +
                                         " nodes deep at 'N" + std::to_string(kMaxEvaluationDepth) + "'";
            EXPECT_EQ(error_of(read_as_text(deep, id_of(deep, "N0"), port)), expected) << kind;
            EXPECT_TRUE(deep.stack.empty()) << kind;
            if (kind == "Integer" || kind == "Converter") {
                EXPECT_EQ(error_of(set_float_value(deep, id_of(deep, "N0"), 1.0, port)), expected) << kind;
            }
            const std::string within_limit = kind == "String" ? "end" : kind == "IntReg" ? "0.000000" : "7.000000";
            EXPECT_EQ(read_as_text(shallow, id_of(shallow, "N0"), port), within_limit) << kind;
        });
    }
}

TEST(DeepChains, AccessModeOfAVeryLongChainEndsAtTheLimit) {
    Genicam g = build_graph(chain("Integer", 300000));
    test_support::MemoryPort port;
    EXPECT_EQ(error_of(access_mode(g, id_of(g, "N0"), port)),
              "evaluating 'N0': more than " + std::to_string(kMaxEvaluationDepth) + " nodes deep at 'N" +
                  std::to_string(kMaxEvaluationDepth) + "'");
    EXPECT_EQ(access_mode(g, id_of(g, "N299800"), port), AccessMode::RW);
}
