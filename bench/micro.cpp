// Micro-benchmarks of the two hot paths that do no input or output: the serial frame parser as
// the reader drives it, and the client's text from bytes to settings and commands.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "client/messageframer.h"
#include "client/tcpcommandparser.h"
#include "protocol/command.h"
#include "protocol/crc8.h"

namespace {

using Bytes = std::vector<unsigned char>;

void appendData(Bytes& stream, unsigned char number, unsigned char code, std::size_t length) {
    Bytes frame = {0xA5, 0xA5, 0x0F, number, code, 1, static_cast<unsigned char>(length)};
    for (std::size_t i = 0; i < length; ++i) {
        frame.push_back(static_cast<unsigned char>(i * 37 + number));
    }
    frame.push_back(crcCheck(frame.data() + 3, static_cast<int>(frame.size() - 3)));
    stream.insert(stream.end(), frame.begin(), frame.end());
}

void appendAck(Bytes& stream, unsigned char number) {
    Bytes frame = {0xA5, 0xA5, 0x33, number, crcCheck(&number, 1)};
    stream.insert(stream.end(), frame.begin(), frame.end());
}

// What a configured injector tester and stand send: short reports of the scheduled sizes with
// the board's ACKs between them.
Bytes reportStream() {
    const std::size_t lengths[] = {4, 11, 16, 1, 5, 20, 8, 12};
    Bytes stream;
    for (int i = 0; i < 512; ++i) {
        unsigned char number = static_cast<unsigned char>(i);
        appendData(stream, number, static_cast<unsigned char>(10 + i % 40), lengths[i % 8]);
        if (i % 4 == 0) {
            appendAck(stream, number);
        }
    }
    return stream;
}

// Oscillogram segments: long frames.
Bytes chartStream() {
    Bytes stream;
    for (int i = 0; i < 128; ++i) {
        appendData(stream, static_cast<unsigned char>(i), static_cast<unsigned char>(21 + i % 6),
                   200);
    }
    return stream;
}

// The reader's loop without the port: a new record per data frame.
struct CountingSink : FrameParser::Sink {
    void noise(const unsigned char*, std::size_t) override {}
    void frame(const Command& frame, bool good, const unsigned char*, std::size_t) override {
        if (good && frame.type == FRAME_DATA) {
            auto record = std::make_unique<Command>(frame);
            benchmark::DoNotOptimize(record->data);
            ++frames;
        }
    }
    std::size_t frames = 0;
};

void parseStream(benchmark::State& state, const Bytes& stream) {
    FrameParser parser;
    CountingSink sink;
    for (auto _ : state) {
        parser.feed(stream.data(), stream.size(), sink);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["frames"] =
        benchmark::Counter(static_cast<double>(sink.frames), benchmark::Counter::kIsRate);
}

void BM_FrameParserReports(benchmark::State& state) {
    parseStream(state, reportStream());
}
BENCHMARK(BM_FrameParserReports);

void BM_FrameParserCharts(benchmark::State& state) {
    parseStream(state, chartStream());
}
BENCHMARK(BM_FrameParserCharts);

// A client's settings as they arrive, in 1024-byte receive blocks, through the framer and the
// parser. No board is attached, so the built commands go nowhere.
void BM_ClientTextPath(benchmark::State& state) {
    const std::vector<std::string> messages = {
        "injector_width:1500;",    "device_rpm:1000;", "regulator1_current:1.25;",
        "injector_interval:50.5;", "device_fan:1;",    "sensor_type:2;",
        "injector_voltage:120;",   "device_rotate:1;", "regulator2_duty_cycle:35.5;",
        "leakage_max_time:600;",   "unknown_key:1;",   "injector_active:1;"};
    std::string text;
    std::size_t count = 0;
    while (text.size() < 64 * 1024) {
        for (const std::string& message : messages) {
            text += message;
            ++count;
        }
    }
    MessageFramer framer;
    std::size_t parsed = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < text.size(); at += 1024) {
            std::size_t size = std::min<std::size_t>(1024, text.size() - at);
            framer.feed(text.data() + at, size, [&](const std::string& message) {
                TcpCommandParser::parse(message);
                ++parsed;
            });
        }
    }
    benchmark::DoNotOptimize(parsed);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ClientTextPath);

}  // namespace

BENCHMARK_MAIN();
