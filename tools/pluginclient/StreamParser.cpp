#include "StreamParser.h"

const QByteArray StreamParser::startedText = QByteArrayLiteral("IMAGE_GENERATION_PROCESS_STARTED");
const QByteArray StreamParser::progressLead = QByteArrayLiteral("PROGRESS_TXT2IMG:");
const QByteArray StreamParser::savedLead = QByteArrayLiteral("IMAGE_SAVED_SUCCESSFULLY: ");

namespace {

// A text shorter than this at the end of a quiet stream is taken as part of
// the text before it, not as the start of a further message.
constexpr int shortestHeldBack = 3;

const QByteArray* const leads[] = {&StreamParser::startedText, &StreamParser::progressLead,
                                   &StreamParser::savedLead};

// Where the next message begins at or after `from`, or -1.
int nextLead(const QByteArray& bytes, int from)
{
    int best = -1;
    for (const QByteArray* lead : leads) {
        const int at = bytes.indexOf(*lead, from);
        if (at >= 0 && (best < 0 || at < best))
            best = at;
    }
    return best;
}

bool isProperLeadPrefix(const QByteArray& bytes)
{
    for (const QByteArray* lead : leads) {
        if (bytes.size() < lead->size() && lead->startsWith(bytes))
            return true;
    }
    return false;
}

// Length of the longest end piece of `bytes` that may be a message's lead cut
// short, or 0.
int cutLeadAtEnd(const QByteArray& bytes)
{
    for (int length = bytes.size() - 1; length >= shortestHeldBack; --length) {
        if (isProperLeadPrefix(bytes.right(length)))
            return length;
    }
    return 0;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isNumberChar(char c)
{
    return isDigit(c) || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
}

// Length of the longest start of `text` that is a whole number in general
// form ("0.35", "1", "1e-05"), or 0.
int numberLength(const QByteArray& text)
{
    int i = 0;
    const int n = text.size();
    if (i < n && (text[i] == '-' || text[i] == '+'))
        ++i;
    int digits = 0;
    while (i < n && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i + 1 < n && text[i] == '.' && isDigit(text[i + 1])) {
        ++i;
        while (i < n && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return 0;
    int end = i;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        int j = i + 1;
        if (j < n && (text[j] == '-' || text[j] == '+'))
            ++j;
        const int expStart = j;
        while (j < n && isDigit(text[j]))
            ++j;
        if (j > expStart)
            end = j;
    }
    return end;
}

} // namespace

void StreamParser::feed(const QByteArray& bytes)
{
    m_buffer.append(bytes);
    parse(Mode::Streaming);
}

void StreamParser::flush()
{
    parse(Mode::Quiet);
}

void StreamParser::finish()
{
    parse(Mode::Final);
}

QList<StreamEvent> StreamParser::takeEvents()
{
    QList<StreamEvent> events;
    events.swap(m_events);
    return events;
}

void StreamParser::parse(Mode mode)
{
    while (!m_buffer.isEmpty()) {
        bool settled;
        if (m_buffer.startsWith(startedText)) {
            StreamEvent event;
            event.kind = StreamEvent::Kind::Started;
            event.text = QString::fromLatin1(startedText);
            m_events.append(event);
            m_buffer.remove(0, startedText.size());
            settled = true;
        } else if (m_buffer.startsWith(progressLead)) {
            settled = parseProgress(mode);
        } else if (m_buffer.startsWith(savedLead)) {
            settled = parseSaved(mode);
        } else if (isProperLeadPrefix(m_buffer)) {
            settled = mode == Mode::Final;
            if (settled) {
                emitText(m_buffer);
                m_buffer.clear();
            }
        } else {
            settled = parseText(mode);
        }
        if (!settled)
            return;
    }
}

bool StreamParser::parseProgress(Mode mode)
{
    const int start = progressLead.size();
    int end = start;
    while (end < m_buffer.size() && isNumberChar(m_buffer[end]))
        ++end;
    const bool atEnd = end == m_buffer.size();
    if (atEnd && mode == Mode::Streaming)
        return false;
    const QByteArray run = m_buffer.mid(start, end - start);
    const int length = numberLength(run);
    if (atEnd && mode == Mode::Quiet && length != run.size())
        return false; // "0." or "1e-" may still go on
    StreamEvent event;
    event.kind = StreamEvent::Kind::Progress;
    event.text = QString::fromLatin1(run.left(length));
    event.value = event.text.toDouble(&event.valueOk);
    m_events.append(event);
    m_buffer.remove(0, start + length);
    return true;
}

bool StreamParser::parseSaved(Mode mode)
{
    const int start = savedLead.size();
    const int next = nextLead(m_buffer, start);
    const QByteArray path = next < 0 ? m_buffer.mid(start) : m_buffer.mid(start, next - start);
    const QByteArray lower = path.toLower();
    if (next < 0) {
        if (mode == Mode::Streaming)
            return false;
        if (mode == Mode::Quiet && !lower.endsWith(".png"))
            return false;
    }
    // The stored file is a ".png"; whatever runs on after it is a text of its own.
    int cut = path.size();
    const int png = lower.lastIndexOf(".png");
    if (png >= 0)
        cut = png + 4;
    StreamEvent event;
    event.kind = StreamEvent::Kind::Saved;
    event.text = QString::fromUtf8(path.left(cut));
    m_events.append(event);
    if (cut < path.size())
        emitText(path.mid(cut));
    m_buffer.remove(0, start + path.size());
    return true;
}

bool StreamParser::parseText(Mode mode)
{
    const int next = nextLead(m_buffer, 1);
    if (next > 0) {
        emitText(m_buffer.left(next));
        m_buffer.remove(0, next);
        return true;
    }
    if (mode == Mode::Streaming)
        return false;
    const int held = mode == Mode::Quiet ? cutLeadAtEnd(m_buffer) : 0;
    emitText(m_buffer.left(m_buffer.size() - held));
    m_buffer.remove(0, m_buffer.size() - held);
    return held == 0;
}

void StreamParser::emitText(const QByteArray& bytes)
{
    StreamEvent event;
    event.kind = StreamEvent::Kind::Text;
    event.text = QString::fromUtf8(bytes);
    m_events.append(event);
}
