#ifndef CONSOLE_H
#define CONSOLE_H

#include <QJsonObject>
#include <QString>
#include <QTextStream>

// The console program's two streams, in UTF-8 whatever the locale.
namespace Console {

QTextStream &out();
QTextStream &err();
// Prints text as one line: the window's texts run over several.
void line(QTextStream &stream, QString text);
void json(const QJsonObject &object);

} // namespace Console

#endif // CONSOLE_H
