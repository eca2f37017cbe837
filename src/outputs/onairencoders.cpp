#include "outputs/onairencoders.h"

#include "engine/livemp3encoder.h"
#include "outputs/mp3tap.h"
#include "outputs/pcmconverter.h"
#include "outputs/silencefeeder.h"

#include <QAudioBuffer>

// One format's encoder and the taps that take from it.
class OnAirEncoders::Stream : public QObject
{
public:
    Stream(OnAirEncoders* owner, int sampleRate, int channels, int kbps)
        : QObject(owner)
        , rate(sampleRate)
        , channels(channels)
        , kbps(kbps)
        , converter(sampleRate, channels)
    {
    }

    bool matches(int r, int c, int k) const { return rate == r && channels == c && kbps == k; }
    bool isOpen() const { return encoder && encoder->isOpen(); }

    bool open()
    {
        if (isOpen())
            return true;
        if (encoder)
            encoder->deleteLater();
        encoder = new LiveMp3Encoder(this);
        connect(encoder, &LiveMp3Encoder::encoded, this,
                [this](const QByteArray& mp3) { tell([&mp3](Mp3Tap* t) { emit t->encoded(mp3); }); });
        // Silence goes on through a restart, covering the time without
        // running it twice.
        connect(encoder, &LiveMp3Encoder::failed, this, [this] { tell([](Mp3Tap* t) { emit t->failed(); }); });
        converter.setTarget(rate, channels);
        return encoder->open(rate, channels, kbps, Mp3Encoder::S16le);
    }

    void fillGaps()
    {
        if (isOpen() && !silence.isActive())
            silence.start(rate, channels, [this](const QByteArray& pcm) { write(pcm); });
    }

    void push(const QAudioBuffer& buffer)
    {
        if (isOpen())
            write(converter.convert(buffer));
    }

    void write(const QByteArray& pcm)
    {
        if (pcm.isEmpty() || !isOpen())
            return;
        silence.noteAudio(pcm.size());
        encoder->encode(pcm);
        tell([n = pcm.size()](Mp3Tap* t) { emit t->fed(n); });
    }

    // Every tap that is still in when its turn comes: one may leave, or
    // another join, on hearing of it.
    template <typename F>
    void tell(F f)
    {
        const QList<QPointer<Mp3Tap>> now(taps.cbegin(), taps.cend());
        for (const QPointer<Mp3Tap>& t : now)
            if (t && taps.contains(t.data()))
                f(t.data());
    }

    // The last tap leaves: it takes the encoder along to finish it.
    LiveMp3Encoder* takeEncoder()
    {
        silence.stop();
        LiveMp3Encoder* e = std::exchange(encoder, nullptr);
        if (e)
            e->disconnect(this);
        return e;
    }

    const int rate;
    const int channels;
    const int kbps;
    PcmConverter converter;
    SilenceFeeder silence;
    LiveMp3Encoder* encoder = nullptr;
    QList<Mp3Tap*> taps;
};

OnAirEncoders::OnAirEncoders(QObject* parent)
    : QObject(parent)
{
}

OnAirEncoders::~OnAirEncoders()
{
    // Taps that outlive their encoder find it gone.
    qDeleteAll(std::exchange(m_streams, {}));
}

void OnAirEncoders::push(const QAudioBuffer& buffer)
{
    if (!buffer.isValid())
        return;
    for (Stream* s : QList<Stream*>(m_streams))
        if (m_streams.contains(s))
            s->push(buffer);
}

QObject* OnAirEncoders::join(Mp3Tap* tap, int sampleRate, int channels, int kbps, QString* error)
{
    Stream* stream = nullptr;
    for (Stream* s : std::as_const(m_streams))
        if (s->matches(sampleRate, channels, kbps))
            stream = s;
    if (!stream) {
        stream = new Stream(this, sampleRate, channels, kbps);
        m_streams.append(stream);
    }
    if (!stream->open()) {
        *error = stream->encoder->error();
        if (stream->taps.isEmpty())
            remove(stream);
        return nullptr;
    }
    stream->taps.append(tap);
    return stream;
}

// Deleted later: it may be in the middle of handing on bytes.
void OnAirEncoders::remove(Stream* stream)
{
    m_streams.removeOne(stream);
    if (stream->encoder)
        stream->encoder->close();
    stream->silence.stop();
    stream->deleteLater();
}

bool OnAirEncoders::isOpen(const QObject* s)
{
    const auto* stream = static_cast<const Stream*>(s);
    return stream && stream->isOpen();
}

void OnAirEncoders::fillGaps(QObject* s)
{
    if (auto* stream = static_cast<Stream*>(s))
        stream->fillGaps();
}

void OnAirEncoders::write(QObject* s, const QByteArray& pcm)
{
    auto* stream = static_cast<Stream*>(s);
    if (stream && stream->taps.size() == 1)
        stream->write(pcm);
}

LiveMp3Encoder* OnAirEncoders::leave(QObject* s, Mp3Tap* tap, bool takeAlong)
{
    auto* stream = static_cast<Stream*>(s);
    if (!stream || !stream->taps.removeOne(tap) || !stream->taps.isEmpty())
        return nullptr;
    auto* owner = static_cast<OnAirEncoders*>(stream->parent());
    LiveMp3Encoder* e = takeAlong && stream->isOpen() ? stream->takeEncoder() : nullptr;
    owner->remove(stream);
    return e;
}
