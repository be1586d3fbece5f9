// ui (Qt): logind suspend inhibitor. Called by the Qt front-end around its event loop.
#include "suspend_inhibitor.h"

#include <unistd.h>

#ifdef BW_HAVE_QT_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#endif

namespace ui
{

SuspendInhibitor::SuspendInhibitor()
{
#ifdef BW_HAVE_QT_DBUS
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return; // no system bus (a container, a minimal install): nothing to inhibit
    QDBusMessage call =
        QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit");
    call << QString("sleep") << QString("bramblewick") << QString("Phones are being programmed")
         << QString("block");
    QDBusReply<QDBusUnixFileDescriptor> reply = bus.call(call, QDBus::Block, 2000);
    if (reply.isValid() && reply.value().isValid())
        fd_ = dup(reply.value().fileDescriptor());
#endif
}

SuspendInhibitor::~SuspendInhibitor()
{
    if (fd_ >= 0)
        close(fd_);
}

} // namespace ui
