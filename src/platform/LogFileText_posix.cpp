#include "platform/LogFileText.h"

QByteArray LogFileText(const QString& text) {
    return text.toUtf8();
}
