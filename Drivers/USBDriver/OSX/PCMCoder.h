// Converters between the kernel's host samples and the PCM byte layouts of isochronous USB audio
// devices, the per-model input post-processors that run on decoded input, and the output mixers
// that run on the client mix just before it is encoded.
//
// Host sample: a 32-bit two's-complement word in host byte order, left-justified. A 16-bit device
// sample is bits 31..16, a 20- or 24-bit one bits 31..8, a 32-bit one the whole word. Decoders write
// the bits below the device sample as 0; encoders ignore them (truncation). Frames are interleaved.
//
// Thread: every function here may run on a device's real-time thread. None takes a lock or
// allocates; only the coders write to the kernel log, and only on a byte count that is not a whole
// number of units (and the two placeholders on their first call after they are chosen). Called
// directly, a coder uses the shuffle level in effect; the coder choice hands out one member fixed
// to a level (PCMCoderShuffles.h), which reads no level on its calls.
#pragma once

#include <cstdint>

// The call record of a PCM decoder, built by the streaming engine for every received USB frame or
// microframe. The decoder reads it and never writes it.
struct _USB_DEC_DATA
{
    int32_t* pDest;      // room for every whole sample that nBytes holds
    const uint8_t* pSrc; // the device bytes of one (micro)frame
    uint32_t nBytes;     // the frame's actual length
};
static_assert(sizeof(void*) != 8 || sizeof(_USB_DEC_DATA) == 24);

// Decoder: returns the number of host samples written (what a real call would write when a pointer
// of the record is null).
using PCMDecoder = uint32_t (*)(const _USB_DEC_DATA* pDecData);

// Encoder: fills numBytes device bytes from host samples and returns the number of host samples
// that numBytes device bytes hold. With a null device or host pointer it writes nothing and returns
// the same count, so the engine can size its mix before it encodes.
using PCMEncoder = uint32_t (*)(char* device, const int* host, uint32_t numBytes);

// --- Decoders. The unit is one sample unless the name says otherwise; trailing bytes of a partial
// unit are ignored. ---
uint32_t pcmFrom16LSB(const _USB_DEC_DATA* pDecData);
uint32_t pcmFrom16MSB(const _USB_DEC_DATA* pDecData);
uint32_t pcmFrom16LSBChannelSwap(const _USB_DEC_DATA* pDecData); // stereo frames, L/R exchanged
uint32_t
pcmFrom16LSBChannelSwapMI_4(const _USB_DEC_DATA* pDecData); // 4-ch frames, host 1..4 = device 3,4,1,2
uint32_t pcmFrom20LSB(const _USB_DEC_DATA* pDecData);
uint32_t pcmFrom24LSB(const _USB_DEC_DATA* pDecData);
uint32_t pcmFrom24LSBChannelSwap(const _USB_DEC_DATA* pDecData);
uint32_t pcmFrom24LSBChannelSwapMI_4(const _USB_DEC_DATA* pDecData);
uint32_t pcmFrom24Access(const _USB_DEC_DATA* pDecData);  // device bytes high, low, middle
uint32_t pcmFrom24TUSB(const _USB_DEC_DATA* pDecData);    // big-endian
uint32_t pcmFrom24TUSB2ch(const _USB_DEC_DATA* pDecData); // big-endian, whole stereo frames only
uint32_t pcmFrom24TUSBMSB(const _USB_DEC_DATA* pDecData); // layout unknown: decodes nothing, logs once
uint32_t pcmFrom32LSB(const _USB_DEC_DATA* pDecData);

// --- Encoders. A partial unit at the end of the device bytes is left as it was. ---
uint32_t pcmTo16LSB(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo16MSB(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo16LSBChannelSwap(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo20LSB(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo24LSB(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo24LSBChannelSwap(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo24Access(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo24TUSB(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo24TUSB2ch(char* device, const int* host, uint32_t numBytes);
// Layout unknown: returns 0 and writes silence, so the device never plays stale bytes.
uint32_t pcmTo24TUSBMSB(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo24Corlanth4CH(char* device, const int* host, uint32_t numBytes); // slots = host 1,3,2,4
uint32_t pcmTo24Corlanth6CH(char* device, const int* host, uint32_t numBytes); // slots = host 1,4,2,5,3,6
// US-144 output routing of 4-channel frames: the digits name the host pair (0 = 1-2, 1 = 3-4) that
// feeds device pairs 1-2 and 3-4. They count one host sample per 3-byte slot but write only whole
// 4-slot groups.
uint32_t pcmTo24LSB_US144_00(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo24LSB_US144_10(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo24LSB_US144_11(char* device, const int* host, uint32_t numBytes);
uint32_t pcmTo32LSB(char* device, const int* host, uint32_t numBytes);

// --- Input post-processors. In place on interleaved host samples; each member has a fixed frame
// width and counts either frames or samples (see InputPostProcessor below). A null pointer or a
// count that covers no whole frame changes nothing; a trailing partial frame is never touched. ---
using PostProcessorFunction = void (*)(int32_t* samples, uint32_t count);

// Silence two channels of every frame while the digital input has no lock.
void postprocessUS366_4_BugFix(int32_t* samples, uint32_t frames);   // 4 ch, zero 3-4
void postprocessUS366_6_BugFix(int32_t* samples, uint32_t frames);   // 6 ch, zero 3-4
void postprocessACV0BugFix(int32_t* samples, uint32_t samplesCount); // 4 ch, zero 3-4
void postprocessVeskaroBugFix(int32_t* samples, uint32_t frames);    // 6 ch, zero 5-6

// US-144 MKII input routing (4 ch, count in samples): digits are the device pairs that feed host
// pairs 1 and 2.
void postprocessUS144_00(int32_t* samples, uint32_t samplesCount);
void postprocessUS144_10(int32_t* samples, uint32_t samplesCount);
void postprocessUS144_11(int32_t* samples, uint32_t samplesCount);

// US-600 input routing (6 ch, count in samples): host pair p takes device pair d_p + 1.
void postprocessUS600_000(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_001(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_002(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_010(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_011(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_012(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_020(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_021(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_022(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_100(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_101(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_102(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_110(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_111(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_112(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_120(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_121(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_122(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_200(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_201(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_202(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_210(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_211(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_212(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_220(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_221(int32_t* samples, uint32_t samplesCount);
void postprocessUS600_222(int32_t* samples, uint32_t samplesCount);

// What the count argument of a post-processor counts.
enum class PostProcessorUnit : uint8_t
{
    frames,
    samples,
};

// A post-processor with the frame width and count unit it was written for. The engine keeps one of
// these (empty for none) and runs it with runInputPostProcessor, which converts the number of
// samples actually decoded into the member's unit, so no member can reach past the decoded data.
struct InputPostProcessor
{
    PostProcessorFunction function = nullptr;
    uint32_t channels = 0; // frame width the member assumes
    PostProcessorUnit unit = PostProcessorUnit::frames;

    explicit operator bool() const { return function != nullptr; }
    bool operator==(const InputPostProcessor&) const = default;
};

// Runs the post-processor over the first decodedSamples samples of a stream with streamChannels
// channels per frame. Does nothing when there is none, or when the stream's frame width is not the
// one the member was written for (it would scramble channels across frames).
void runInputPostProcessor(const InputPostProcessor& postProcessor, int32_t* samples, uint32_t decodedSamples,
                           uint32_t streamChannels);

// --- Output mixers. ---

// A gain: numerator / denominator; a denominator of 0 counts as 1.
struct QZ_Fraction
{
    int32_t numerator;
    int32_t denominator;
};
static_assert(sizeof(QZ_Fraction) == 8);

// Rewrites `frames` frames of N interleaved channels in place: every output pair gets either the
// stereo mix of all N channels through the left and right gains, or one host pair unchanged, or
// silence, as routing byte p (read once per call) says for output pair p + 1. Gains are read for
// every frame, so they may be rewritten by another thread while the mixer runs. The mix wraps on
// overflow; every stored word has bits 7..0 cleared. Always returns 0xFFFFFFFF.
using OutMixer = uint32_t (*)(uint32_t* samples, uint32_t frames, const QZ_Fraction* left,
                              const QZ_Fraction* right, const uint8_t* routing);

// Routing byte 0 only: 0 = the mix, anything else = host pair 1.
uint32_t outMixer2CH(uint32_t* samples, uint32_t frames, const QZ_Fraction* left, const QZ_Fraction* right,
                     const uint8_t* routing);
// Routing byte p: 0 = the mix, k in 1..N/2 = host pair k, anything else = silence.
uint32_t outMixer4CH(uint32_t* samples, uint32_t frames, const QZ_Fraction* left, const QZ_Fraction* right,
                     const uint8_t* routing);
uint32_t outMixer6CH(uint32_t* samples, uint32_t frames, const QZ_Fraction* left, const QZ_Fraction* right,
                     const uint8_t* routing);

constexpr uint32_t kOutMixerResult = 0xFFFFFFFF;
