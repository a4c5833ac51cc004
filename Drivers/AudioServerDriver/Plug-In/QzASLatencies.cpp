#include "QzASLatencies.h"

namespace {

uint32_t truncate(double frames)
{
    return frames > 0 ? static_cast<uint32_t>(frames) : 0;
}

const QzASSafetyModelRow* safetyRow(const QzASLatencyInputs& in)
{
    for (const QzASSafetyModelRow& row : kQzASSafetyModels) {
        if (row.model.is(in.vendor, in.product)) {
            return &row;
        }
    }
    return nullptr;
}

void latencies(const QzASLatencyInputs& in, QzASLatencies& out)
{
    const uint32_t r1 = in.frequency != 0 ? in.frequency : 44'100; // per-rate choices
    const double R = in.frequency;                                 // formulas: constant term at 0
    out.outputWriteAhead = 500;

    double inMs = in.extraMargin + (r1 == 32'000 || r1 == 44'100 ? 4.8 : 5.6);
    double outMs = r1 == 32'000 ? 9.0 : r1 == 44'100 ? 8.5 : r1 == 48'000 ? 4.5 : 10.0;
    if (in.corlanth) {
        inMs = in.extraMargin + (r1 == 32'000 || r1 == 44'100 || r1 == 48'000 ? 3.0 : 3.5);
    }
    uint32_t input = truncate(inMs * R / 1000);
    uint32_t output = truncate(outMs * R / 1000);

    if (in.bulk) {
        input = truncate(R * 2.56 / 1000 + 12.56);
        output = truncate(R * -2.5 / 1000 + 533.0);
    }
    if (in.morvane) {
        input = truncate(R * 1.2 / 1000 + 135.0);
        output = truncate(R * -0.8 / 1000 + 668.0);
        if (in.lowBufferFirmware) {
            const bool base = r1 == 44'100 || r1 == 48'000;
            const bool doubled = r1 == 88'200 || r1 == 96'000;
            const double a = base ? -2.0 : doubled ? -0.5 : 0.0;
            const double b = base ? -2.0 : doubled ? -1.0 : 0.0;
            // The reductions are truncated toward zero, as the additions they are.
            input = static_cast<uint32_t>(static_cast<int64_t>(input) + static_cast<int64_t>(a * R / 1000));
            output = static_cast<uint32_t>(static_cast<int64_t>(output) + static_cast<int64_t>(b * R / 1000));
        }
    }
    if (in.bulkInIsocOut) {
        input = truncate(r1 * 2.34 / 1000 + 32.0);
        output = truncate(r1 * -2.48 / 1000 + 1.1 * out.outputWriteAhead);
    }
    if (in.elektronOverbridge) {
        input = 400 + 48;
        output = 448 + 48;
    }
    if (in.tessaly) {
        switch (r1) {
        case 44'100: output = 500; break;
        case 48'000: output = 490; break;
        case 88'200: output = 420; break;
        case 96'000: output = 400; break;
        case 176'400: output = 390; break;
        case 192'000: output = 350; break;
        default: output = 550; break;
        }
    }
    const QzASDebugOverrides& o = in.overrides;
    out.inputLatency = o.forceLatencyIn != kQzASNotSet ? o.forceLatencyIn : input;
    out.outputLatency = o.forceLatencyOut != kQzASNotSet ? o.forceLatencyOut : output;
    if (o.forceOutWriteAhead != kQzASNotSet) {
        out.outputWriteAhead = o.forceOutWriteAhead;
    }
}

void safetyOffsets(const QzASLatencyInputs& in, QzASLatencies& out)
{
    const uint32_t r1 = in.frequency != 0 ? in.frequency : 44'100;
    const double D = r1;
    const QzASSafetyModelRow* row = safetyRow(in);
    uint32_t ms = 4;
    if (in.elektronOverbridge) {
        ms = 3;
    }
    if (row != nullptr && row->inputMs != 0) {
        ms = row->inputMs;
    }
    if (in.noDeviceInfo) {
        ms += 3;
    }
    uint32_t input = ms * r1 / 1000;
    uint32_t output = r1 / 1000;
    if (in.corlanth) {
        input = truncate(D * 2.7 / 1000);
    }
    if (in.bulkInIsocOut) {
        input = r1 * 15 / 10'000;
        output = r1 / 1000;
    }
    if (in.bulk) {
        input = truncate(D * 1.55 / 1000 + 10.75);
    }
    if (in.morvane) {
        input = r1 * 420 / 100'000 + 8;
        output = r1 / 1000;
    }
    if (row != nullptr) {
        input += row->inputExtraFrames;
    }
    const QzASDebugOverrides& o = in.overrides;
    out.inputSafetyOffset = o.forceSafetyIn != kQzASNotSet ? o.forceSafetyIn : input;
    out.outputSafetyOffset = o.forceSafetyOut != kQzASNotSet ? o.forceSafetyOut : output;
}

} // namespace

QzASLatencies qzASComputeLatencies(const QzASLatencyInputs& in)
{
    QzASLatencies out;
    latencies(in, out);
    safetyOffsets(in, out);
    return out;
}
