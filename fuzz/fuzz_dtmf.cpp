// DTMF: configured sequence texts, and arbitrary sample data (any float,
// NaN and infinities included) at any of the rates the inputs deliver.
#include "automation/dtmfdetector.h"
#include "fuzzsupport.h"

#include <cstring>

namespace {

const int kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};

QByteArray samples(const QList<double>& values)
{
    QByteArray out;
    for (double v : values) {
        const float f = float(v);
        out.append(reinterpret_cast<const char*>(&f), sizeof f);
    }
    return out;
}

} // namespace

QList<QByteArray> olFuzzSeeds()
{
    QByteArray tones("\x01\x06\x20", 3);
    for (char d : QByteArray("12#"))
        tones += samples(DtmfDetector::generateTone(d, 48000, 120, 0.5) + QList<double>(2400, 0.0));
    return {QByteArray("\x00", 1) + "123#, *9 ,,#0\0" "99123#", tones, QByteArray("\x02\x05\x07\x40\x01", 5)};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    switch (in.byte() % 3) {
    case 0: {
        const QString sequences = in.text();
        (void)DtmfDetector::parseSequences(sequences);
        (void)DtmfDetector::matches(in.text(), sequences);
        break;
    }
    case 1: {
        DtmfDetector detector;
        detector.setSampleRate(kRates[in.byte() % 8]);
        detector.minLevel = in.byte() / 255.0;
        const QByteArray raw = in.rest();
        QList<double> values(raw.size() / 4);
        for (qsizetype i = 0; i < values.size(); ++i) {
            float f;
            std::memcpy(&f, raw.constData() + 4 * i, sizeof f);
            values[i] = f;
        }
        // In uneven pieces, as devices deliver them.
        for (qsizetype at = 0, piece = 1; at < values.size(); at += piece, piece = piece * 3 % 2011 + 1)
            detector.addSamples(values.mid(at, piece));
        (void)DtmfDetector::analyseBlock(values.mid(0, DtmfDetector::blockSize(detector.sampleRate())),
                                         detector.sampleRate(), detector.minLevel);
        break;
    }
    default: {
        const QString keypad = DtmfDetector::keypad();
        const char digit = char(in.byte());
        const int rate = kRates[in.byte() % 8];
        // Long tones only slow the search down; the detector's own test
        // covers lengths past a 32-bit sample count.
        const int ms = int(in.number(3001)) - 1;
        (void)DtmfDetector::generateTone(digit, rate, ms, in.byte() / 128.0);
        (void)keypad;
        break;
    }
    }
    return 0;
}
