#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>

// What every fuzz target provides: the entry point libFuzzer calls, and a
// few inputs to start from, built in code so that no binary file is kept.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
QList<QByteArray> olFuzzSeeds();

// A fresh home folder (settings, library.db) and an application object,
// made once per process before the first input.
void olFuzzInit();
QString olFuzzHome();

// Reads little pieces off the front of an input, for targets that need
// several values from one byte string.
class FuzzInput
{
public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(reinterpret_cast<const char*>(data)), m_size(size) {}

    bool atEnd() const { return m_pos >= m_size; }
    quint8 byte();
    quint32 number(quint32 bound); // below bound (bound > 0)
    // Bytes up to the next NUL (consumed) or the end, as UTF-8.
    QString text();
    QByteArray rest();

private:
    const char* m_data;
    size_t m_size;
    size_t m_pos = 0;
};
