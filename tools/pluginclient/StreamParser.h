#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One message taken from the bytes traybridge sends on a connection.
struct StreamEvent
{
    enum class Kind
    {
        Started,  // "IMAGE_GENERATION_PROCESS_STARTED"
        Progress, // "PROGRESS_TXT2IMG:" and a value
        Saved,    // "IMAGE_SAVED_SUCCESSFULLY: " and the PNG path
        Text      // anything else: a reply to a command, or an error text
    };
    Kind kind = Kind::Text;
    QString text;       // the value as sent, the path, or the text
    double value = 0.0; // Progress only
    bool valueOk = false;
};

// Splits the byte stream of one connection into messages. Nothing separates
// messages on the wire, so a message ends where the next known leading text
// begins; a message at the end of the bytes received so far stays pending
// until more bytes, a quiet moment (flush) or the end of the stream (finish)
// settle it.
class StreamParser
{
public:
    static const QByteArray startedText;
    static const QByteArray progressLead;
    static const QByteArray savedLead;

    void feed(const QByteArray& bytes);
    // The stream has gone quiet: settles pending messages that look whole.
    void flush();
    // The stream has ended: settles everything that is left.
    void finish();

    QList<StreamEvent> takeEvents();
    bool hasPending() const { return !m_buffer.isEmpty(); }

private:
    enum class Mode
    {
        Streaming,
        Quiet,
        Final
    };
    void parse(Mode mode);
    bool parseProgress(Mode mode);
    bool parseSaved(Mode mode);
    bool parseText(Mode mode);
    void emitText(const QByteArray& bytes);

    QByteArray m_buffer;
    QList<StreamEvent> m_events;
};
