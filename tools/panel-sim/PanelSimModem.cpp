// The GSM modem in front of the panel: the AT dialogue, the dial, "+++" and ATH, the far
// end hanging up.
#include "PanelSimShared.h"

#include <QTimer>

#include <termios.h>

using namespace PanelSimDetail;

void PanelSim::onModemBytes(const QByteArray& bytes) {
    const int guard = m_config.modem.guardMs;
    // The escape needs a quiet line before its first "+".
    bool quiet = !m_lastRx.isValid() || m_lastRx.elapsed() >= guard;
    QByteArray toPanel;
    for (const char c : bytes) {
        if (!m_online) {
            modemCommandByte(c);
            continue;
        }
        if (m_plus == 3) {
            if (m_plusClock.elapsed() >= guard) {
                // Quiet long enough after the third "+": this byte is a command already.
                completeEscape();
                modemCommandByte(c);
                continue;
            }
            toPanel += "+++";
            m_plus = 0;
            m_escapeTimer->stop();
        }
        if (c == '+' && (m_plus > 0 || quiet)) {
            if (++m_plus == 3) {
                m_plusClock.start();
                m_escapeTimer->start(std::max(1, guard));
            }
            continue;
        }
        if (m_plus > 0) {
            toPanel += QByteArray(m_plus, '+');
            m_plus = 0;
        }
        toPanel += c;
        quiet = false;
    }
    m_lastRx.start();
    if (!m_echo.isEmpty()) {
        queue(m_echo, 0);
        m_echo.clear();
    }
    if (!toPanel.isEmpty())
        onPanelBytes(toPanel);
}

void PanelSim::completeEscape() {
    m_escapeTimer->stop();
    m_plus = 0;
    m_online = false;
    ++m_escapes;
    emit escaped();
    modemReply("OK");
}

void PanelSim::modemCommandByte(char c) {
    if (m_config.modem.echo)
        m_echo += c;
    if (c == '\r') {
        const QByteArray command = m_atLine.trimmed();
        m_atLine.clear();
        if (!m_echo.isEmpty()) {
            queue(m_echo, 0);
            m_echo.clear();
        }
        if (!command.isEmpty())
            handleAT(command);
    } else if (c != '\n' && m_atLine.size() < MaxCommandLength) {
        m_atLine += c;
    }
}

void PanelSim::modemReply(const QByteArray& text) {
    queue("\r\n" + text + "\r\n", 0);
}

void PanelSim::handleAT(const QByteArray& command) {
    m_modemCommands.append(command);
    emit commandReceived(command);
    const QByteArray up = command.toUpper();
    if (!up.startsWith("AT"))
        return; // not a command: a modem says nothing
    const Config::Modem& m = m_config.modem;
    if (up.startsWith("ATD")) {
        m_dialTimer->start(std::max(0, m.dialDelayMs));
    } else if (up == "ATH" || up == "ATH0") {
        m_dialTimer->stop();
        m_hangupTimer->stop();
        m_callUp = false;
        m_online = false;
        modemReply("OK");
    } else if (up == "ATO" && m_callUp) {
        m_online = true;
        m_lastRx.invalidate();
        modemReply("CONNECT 9600");
    } else if (up == "ATZ" && !m.answerReset) {
        // resets quietly
    } else if (up.startsWith("AT+CBST")) {
        modemReply(m.cbstError ? "ERROR" : "OK");
    } else if (up == "AT+CREG?") {
        int stat = 2; // searching
        if (m_creg++ >= m.searchingQueries) {
            switch (m.registration) {
            case Config::Modem::Registration::Home:
                stat = 1;
                break;
            case Config::Modem::Registration::Roaming:
                stat = 5;
                break;
            case Config::Modem::Registration::None:
                stat = 0;
                break;
            case Config::Modem::Registration::Searching:
                stat = 2;
                break;
            }
        }
        queue("\r\n+CREG: 0," + QByteArray::number(stat) + "\r\n\r\nOK\r\n", 0);
    } else {
        modemReply("OK");
    }
}

void PanelSim::dialResult() {
    using Dial = Config::Modem::DialResult;
    const Config::Modem& m = m_config.modem;
    QByteArray word;
    switch (m.dial) {
    case Dial::Connect:
        word = "CONNECT 9600";
        break;
    case Dial::Busy:
        word = "BUSY";
        break;
    case Dial::NoCarrier:
        word = "NO CARRIER";
        break;
    case Dial::NoDialtone:
        word = "NO DIALTONE";
        break;
    case Dial::NoAnswer:
        word = "NO ANSWER";
        break;
    case Dial::Silence:
        return;
    }
    modemReply(m.dialAnswer.isEmpty() ? word : m.dialAnswer);
    if (m.dial != Dial::Connect)
        return;
    // A new call: the panel behind it starts a new dialogue.
    m_callUp = true;
    m_online = true;
    m_plus = 0;
    m_lastRx.invalidate();
    ++m_calls;
    restartDialogue();
    if (m.hangupAfterMs > 0)
        m_hangupTimer->start(m.hangupAfterMs);
}

void PanelSim::farEndHangup() {
    if (!m_callUp)
        return;
    m_hangupTimer->stop();
    m_escapeTimer->stop();
    m_callUp = false;
    m_online = false;
    m_plus = 0;
    m_queue.clear(); // the panel's answers still on their way are lost with the call
    modemReply("NO CARRIER");
    restartDialogue();
}

void PanelSim::enterDeviceMode() {
    m_deviceMode = true;
    m_rbTail.clear();
    m_scriptInput.clear();
    if (m_config.fastEcho && m_pty)
        QTimer::singleShot(0, this, &PanelSim::runFastEcho);
    else if (m_config.fastEcho && m_client && m_config.script.isEmpty() && m_config.echoDeviceData)
        QTimer::singleShot(0, this, &PanelSim::runFastTcpEcho);
}

void PanelSim::restartDialogue() {
    m_deviceMode = false;
    m_line.clear();
    m_rbTail.clear();
    m_scriptInput.clear();
}
