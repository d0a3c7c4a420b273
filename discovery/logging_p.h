#ifndef DISCOVERY_LOGGING_P_H
#define DISCOVERY_LOGGING_P_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcRegistry)

#endif // DISCOVERY_LOGGING_P_H
