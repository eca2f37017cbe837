// A line of the command language as any source may send it.
#include "automation/schedulercommand.h"
#include "fuzzsupport.h"

QList<QByteArray> olFuzzSeeds()
{
    return {"next", "volume 50 3000", "streamarchive 3600 \"/rec/show 'x'.mp3\"", "scheduler off 99999999999",
            "mic 2147483647", "\"getrandomplaylist\"\tX", "play -1", "  ", "load \"/a b/c.m3u", "renderplaylist"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString line = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    (void)SchedulerCommand::isCommand(line);
    const SchedulerCommand c = SchedulerCommand::parse(line);
    (void)SchedulerCommand::describe(c.verb);
    for (int i = -1; i < 4; ++i) {
        (void)c.arg(i);
        (void)c.intArg(i, -7);
    }
    (void)c.hasArg(c.arg(0));
    (void)c.volumeArgs();
    (void)c.archiveArgs();
    return 0;
}
