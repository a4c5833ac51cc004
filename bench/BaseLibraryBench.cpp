// The base library's set-up paths: LZW over settings-like text, XML parse and write of a
// settings document, and serialisation into a growing byte buffer.
#include <benchmark/benchmark.h>

#include <string>

#include "VKByteBuffer.h"
#include "XCodecLZW.h"
#include "XMLDoc.h"

namespace {

std::string settingsText(int devices)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<Settings>\n";
    for (int i = 0; i < devices; ++i) {
        text += "\t<Device name=\"Corlanth " + std::to_string(i) + "\" rate=\"48000\" buffer=\"" +
                std::to_string(64 << (i % 5)) + "\" gain=\"5.000000e-01\" source=\"A&amp;B\"/>\n";
    }
    return text + "</Settings>\n";
}

void fillBuffer(VKByteBuffer& buffer, const std::string& text)
{
    buffer.resize(static_cast<uint32_t>(text.size()));
    buffer.write(text.data(), static_cast<uint32_t>(text.size()));
}

void BM_LZWEncode(benchmark::State& state)
{
    VKByteBuffer src, dst;
    fillBuffer(src, settingsText(static_cast<int>(state.range(0))));
    XCodecLZW codec;
    for (auto _ : state) {
        codec.encode(src, dst);
        benchmark::DoNotOptimize(dst.getBuffer());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * src.getSize());
}
BENCHMARK(BM_LZWEncode)->Arg(100)->Arg(1000);

void BM_LZWDecode(benchmark::State& state)
{
    VKByteBuffer src, packed, dst;
    fillBuffer(src, settingsText(static_cast<int>(state.range(0))));
    XCodecLZW codec;
    codec.encode(src, packed);
    packed.resizeAndKeep(packed.getWritePosition());
    for (auto _ : state) {
        codec.decode(packed, dst);
        benchmark::DoNotOptimize(dst.getBuffer());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * src.getSize());
}
BENCHMARK(BM_LZWDecode)->Arg(100)->Arg(1000);

void BM_XMLLoadAndWrite(benchmark::State& state)
{
    const VKString text(settingsText(static_cast<int>(state.range(0))).c_str());
    VKString out;
    for (auto _ : state) {
        XML::Doc doc(text);
        doc.buildXML(out);
        benchmark::DoNotOptimize(out.getBuffer());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.getLength());
}
BENCHMARK(BM_XMLLoadAndWrite)->Arg(100);

void BM_ByteBufferSmallWrites(benchmark::State& state)
{
    for (auto _ : state) {
        VKByteBuffer buffer;
        for (int i = 0; i < 10'000; ++i) {
            buffer << i << static_cast<unsigned char>(i);
        }
        benchmark::DoNotOptimize(buffer.getBuffer());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 20'000);
}
BENCHMARK(BM_ByteBufferSmallWrites);

} // namespace

BENCHMARK_MAIN();
