#include "console.h"

#include <QJsonDocument>

namespace Console {

QTextStream &out()
{
    static QTextStream stream(stdout);
    stream.setCodec("UTF-8");
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    stream.setCodec("UTF-8");
    return stream;
}

void line(QTextStream &stream, QString text)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    stream << text.trimmed() << Qt::endl;
}

void json(const QJsonObject &object)
{
    out() << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
}

} // namespace Console
