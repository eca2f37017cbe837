#include "outputs/mp3tap.h"

#include "engine/livemp3encoder.h"

#include <utility>

Mp3Tap::Mp3Tap(QObject* parent)
    : QObject(parent)
{
}

Mp3Tap::~Mp3Tap()
{
    leave();
}

bool Mp3Tap::open(OnAirEncoders* encoders, int sampleRate, int channels, int kbps)
{
    // A tap that was let go joins afresh, which starts a new encoder, and
    // goes on filling gaps if it did.
    const bool fill = m_fillGaps;
    close();
    m_error.clear();
    m_stream = encoders->join(this, sampleRate, channels, kbps, &m_error);
    if (fill && m_stream)
        fillGaps();
    return m_stream != nullptr;
}

bool Mp3Tap::isOpen() const
{
    return OnAirEncoders::isOpen(m_stream);
}

void Mp3Tap::fillGaps()
{
    m_fillGaps = true;
    OnAirEncoders::fillGaps(m_stream);
}

void Mp3Tap::encode(const QByteArray& pcm)
{
    OnAirEncoders::write(m_stream, pcm);
}

void Mp3Tap::leave()
{
    OnAirEncoders::leave(std::exchange(m_stream, nullptr), this, false);
}

void Mp3Tap::close()
{
    m_fillGaps = false;
    leave();
    if (LiveMp3Encoder* e = std::exchange(m_finishing, nullptr)) {
        e->disconnect(this);
        e->close();
        e->deleteLater();
    }
}

void Mp3Tap::finish()
{
    if (m_finishing || !m_stream)
        return;
    LiveMp3Encoder* e = OnAirEncoders::leave(std::exchange(m_stream, nullptr), this, true);
    if (!e) {
        emit finished();
        return;
    }
    m_finishing = e;
    e->setParent(this);
    connect(e, &LiveMp3Encoder::encoded, this, &Mp3Tap::encoded);
    const auto done = [this, e] {
        if (m_finishing == e)
            m_finishing = nullptr;
        e->deleteLater();
        emit finished();
    };
    connect(e, &LiveMp3Encoder::finished, this, done);
    connect(e, &LiveMp3Encoder::failed, this, done);
    e->finish();
}

void Mp3Tap::finishNow()
{
    finish();
    if (LiveMp3Encoder* e = m_finishing)
        e->finishNow();
}
