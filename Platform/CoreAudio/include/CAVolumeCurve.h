// The mapping between a volume control's raw values, its decibel values and the scalar (0 to 1)
// a user slider shows. Raw and decibel values follow the ranges added, each a straight line from
// its minimum to its maximum; the scalar is the raw value's place between the curve's minimum and
// maximum raw values, raised to the transfer power (1: linear).
//
// Thread safety: set up on one thread; the conversions may then run on any.
#pragma once

#include <cstdint>
#include <vector>

#include "CoreFoundation/CFBase.h"

class CAVolumeCurve
{
public:
    CAVolumeCurve() = default;

    // Adds the raw range [minRaw, maxRaw] mapped onto [minDB, maxDB]; ranges that overlap one
    // already added are refused.
    void AddRange(SInt32 minRaw, SInt32 maxRaw, Float32 minDB, Float32 maxDB);
    void ResetRange();
    // Power applied to the raw fraction to get the scalar (positive; 1 by default).
    void SetTransferPower(Float32 power);

    bool IsEmpty() const { return mRanges.empty(); }
    SInt32 GetMinimumRaw() const;
    SInt32 GetMaximumRaw() const;
    Float32 GetMinimumDB() const;
    Float32 GetMaximumDB() const;

    // Values outside the curve are limited to it first.
    Float32 ConvertRawToDB(SInt32 raw) const;
    SInt32 ConvertDBToRaw(Float32 dB) const;
    Float32 ConvertRawToScalar(SInt32 raw) const;
    SInt32 ConvertScalarToRaw(Float32 scalar) const;
    Float32 ConvertScalarToDB(Float32 scalar) const;
    Float32 ConvertDBToScalar(Float32 dB) const;

private:
    struct Range
    {
        SInt32 minRaw;
        SInt32 maxRaw;
        Float32 minDB;
        Float32 maxDB;
    };
    // Raw values as a fraction of the whole curve, before and after the transfer power.
    double rawFraction(double raw) const;
    double rawFromFraction(double fraction) const;
    double dBOfRaw(double raw) const;
    double rawOfDB(double dB) const;

    std::vector<Range> mRanges; // sorted by raw value
    Float32 mTransferPower = 1.0F;
};
