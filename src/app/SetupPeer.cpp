// Who may talk to the panel through the local server: this user's own programs only.
#include "app/MainFormUnit.h"
#include "server/PeerOwner.h"

#include <QAbstractSocket>

bool TMainKestromForm::AcceptSetupPeer(QAbstractSocket* Socket) {
    const PeerOwner::Result owner = PeerOwner::Check({Socket->localAddress(), Socket->localPort()},
                                                     {Socket->peerAddress(), Socket->peerPort()});
    switch (owner.verdict) {
    case PeerOwner::Verdict::Own:
        return true;
    case PeerOwner::Verdict::CannotTell:
        // Accepted as ever; said once a run, not at every connection.
        if (!FPeerCheckUnavailableLogged)
            AddLog(QStringLiteral("Не удалось проверить, чьи программы подключаются к мосту (%1); "
                                  "подключения принимаются без проверки.")
                       .arg(owner.reason),
                   QString());
        FPeerCheckUnavailableLogged = true;
        return true;
    case PeerOwner::Verdict::Foreign:
        AddLog(QStringLiteral("Подключение к мосту закрыто: это программа другого пользователя (uid %1).")
                   .arg(owner.uid),
               QString());
        break;
    case PeerOwner::Verdict::Unknown:
        AddLog(QStringLiteral("Подключение к мосту закрыто: не удалось определить, чья это программа."),
               QString());
        break;
    }
    // Nothing of it was read, and nothing of the panel's goes to it.
    Socket->abort();
    Socket->deleteLater();
    return false;
}
