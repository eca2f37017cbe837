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
    if (argc > 1) {
        QFile file(QString::fromLocal8Bit(argv[1]));
        if (file.open(QIODevice::ReadOnly)) {
            while (!file.atEnd()) {
                const QByteArray line = file.readLine().trimmed();
                if (!line.isEmpty() && !line.startsWith('#'))
                    run(QByteArray::fromBase64(line));
            }
        }
    }
    std::printf("%d inputs ran\n", count);
    return count > 0 ? 0 : 1;
}
