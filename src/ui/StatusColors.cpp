#include "ui/StatusColors.h"

QColor serverStatusColor(const QString& status)
{
    return status == u"Connected" || status.contains(u"ready") ? kGoodColor : kBadColor;
}

QColor connectionStatusColor(const QString& status)
{
    return status == u"Connected" ? kGoodColor : kBadColor;
}
