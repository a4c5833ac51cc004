// Sample copy routines: move 32-bit integer samples between a caller's buffer and the shared
// sample ring, widening, narrowing, shifting, adding, clearing or picking a subset of channels.
// Every ring operation takes one of them as its converter.
//
// Samples are 32-bit two's complement in host byte order. Two conventions meet here:
// left-aligned (full scale +/-2^31) and right-aligned 24-bit (a 24-bit value sign-extended into
// 32 bits); shifting by 8 bits converts between them. Packed samples are 2 or 3 bytes,
// little-endian, one after the other.
//
// The same routines run in the kernel's real-time service and in the user side's IO cycle:
// they allocate nothing, lock nothing, and touch each sample once. A count of 0 or less does
// nothing; source and destination never overlap.
#pragma once

#include <cstdint>

// (destination, source, count). Where a routine reads or writes packed samples, the pointer of
// that side addresses bytes; it keeps the common type so that every routine fits one converter
// slot. For the channel-subset copies the count is in destination samples.
using AudioConverter = void (*)(int32_t* destination, const int32_t* source, int32_t count);

// In place: (buffer, count).
using AudioBufferOperation = void (*)(int32_t* buffer, int32_t count);

// Packed 16-bit to left-aligned (value x 65,536).
void audioInt16to32Copy(int32_t* destination, const int32_t* source, int32_t count);
// Packed 24-bit to left-aligned (value x 256).
void audioInt24to32Copy(int32_t* destination, const int32_t* source, int32_t count);
// Packed 16-bit to right-aligned 24-bit scale (value x 256).
void audioInt16to32CopyShift(int32_t* destination, const int32_t* source, int32_t count);
// Packed 24-bit to right-aligned 24-bit (sign-extended).
void audioInt24to32CopyShift(int32_t* destination, const int32_t* source, int32_t count);
// Left-aligned to packed 16-bit: the upper 16 bits (the lower ones are dropped).
void audioInt32to16Copy(int32_t* destination, const int32_t* source, int32_t count);
// Left-aligned to packed 24-bit: the upper 24 bits (truncation).
void audioInt32to24Copy(int32_t* destination, const int32_t* source, int32_t count);

// The packed 24-bit copies move 16 samples per step with AVX-512 byte permutes where the processor
// has them. Tests turn that off to check that both ways write the same bytes; not for the
// real-time thread.
bool audioCopyPermutesSupported();
void setAudioCopyPermutes(bool on); // on only where supported

// Unchanged copy.
void audioInt32CopySet(int32_t* destination, const int32_t* source, int32_t count);
// destination += source, wrapping at 32 bits (no saturation; see audioInt32Saturate).
void audioInt32CopyAdd(int32_t* destination, const int32_t* source, int32_t count);
// destination = source / 256, truncating toward zero.
void audioInt32CopyShift(int32_t* destination, const int32_t* source, int32_t count);

// The "clear" partners of the output mix: the first client's copy (audioInt32CopySet) starts
// from a cleared buffer, every further client's add (audioInt32CopyAdd) leaves it alone.
void audioInt32Clear(int32_t* buffer, int32_t count);
void audioInt32ClearNot(int32_t* buffer, int32_t count);
// Right-aligned 24-bit sum to left-aligned, clipped to what a 24-bit sample can reach:
// below -8,388,608 gives 0x80000000, above 8,388,607 gives 0x7FFFFF00.
void audioInt32Saturate(int32_t* buffer, int32_t count);

// Channel subsets: clear `count` destination samples, then take the first N samples of each
// 6- or 12-sample source frame, each shifted right arithmetically by 8 bits, for count / N
// frames (for 6To1, count frames). The 6To0 and 12To0 members only clear.
void audioInt32CopyShift6To0(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift6To1(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift6To2(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift6To3(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift6To4(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift6To5(int32_t* destination, const int32_t* source, int32_t count);
// As 6To4, from frames of six packed 24-bit samples (18 bytes), sign-extended instead of shifted.
void audioInt24to32CopyShift6To4(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift12To0(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift12To2(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift12To4(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift12To6(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift12To8(int32_t* destination, const int32_t* source, int32_t count);
void audioInt32CopyShift12To10(int32_t* destination, const int32_t* source, int32_t count);
