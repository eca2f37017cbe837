// Runs a fuzz target over its seeds and over every input that once made it
// fail, so that the ordinary build keeps the targets compiling and the found
// faults mended. The regressions file holds one input per line in base64;
// lines starting with '#' say what the input found.
#include "fuzzsupport.h"

#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    olFuzzInit();
    int count = 0;
    const auto run = [&count](const QByteArray& input) {
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()));
        ++count;
    };
    for (const QByteArray& seed : olFuzzSeeds())
        run(seed);
    // A target with no failures yet has no regressions file; one that is
    // there but unreadable, or holds a damaged line, would quietly replay
    // nothing or garbage, so it fails the test.
    if (argc > 1 && QFile::exists(QString::fromLocal8Bit(argv[1]))) {
        QFile file(QString::fromLocal8Bit(argv[1]));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", argv[1]);
            return 1;
        }
        int lineNo = 0;
        while (!file.atEnd()) {
            const QByteArray line = file.readLine().trimmed();
            ++lineNo;
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            const auto decoded = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded) {
                std::fprintf(stderr, "%s:%d: not base64\n", argv[1], lineNo);
                return 1;
            }
            run(*decoded);
        }
    }
    std::printf("%d inputs ran\n", count);
    return count > 0 ? 0 : 1;
}
