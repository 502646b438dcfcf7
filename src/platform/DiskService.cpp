#include "platform/DiskService.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QList>
#include <QMap>
#include <QObject>
#include <QVariantMap>

#include <algorithm>
#include <map>

#include "platform/Devices.h"

namespace brivo {

class TDiskServiceReceiver : public QObject {
    Q_OBJECT
public:
    explicit TDiskServiceReceiver(std::function<void()> changed) : changed_(std::move(changed)) {}
public Q_SLOTS:
    void Changed() {
        if (changed_) changed_();
    }

private:
    std::function<void()> changed_;
};

namespace {

using TInterfaces = QMap<QString, QVariantMap>;
using TObjects = QMap<QDBusObjectPath, TInterfaces>;

constexpr int kListTimeoutMs = 10 * 1000;

// Byte-string properties end in a NUL the service counts as part of the value.
std::string BytesText(const QVariant& v) {
    QByteArray bytes = v.toByteArray();
    while (!bytes.isEmpty() && bytes.back() == '\0') bytes.chop(1);
    return bytes.toStdString();
}

std::vector<std::string> BytesListText(const QVariant& v) {
    std::vector<std::string> out;
    if (!v.canConvert<QDBusArgument>()) return out;
    for (const QByteArray& b : qdbus_cast<QList<QByteArray>>(v)) out.push_back(BytesText(b));
    return out;
}

} // namespace

std::optional<std::vector<TServiceDevice>> ListServiceDevices() {
    qDBusRegisterMetaType<TInterfaces>();
    qDBusRegisterMetaType<TObjects>();
    qDBusRegisterMetaType<QList<QByteArray>>();
    QDBusConnection bus =
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("brivo-device-broker"));
    if (!bus.isConnected()) return std::nullopt;
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.UDisks2", "/org/freedesktop/UDisks2",
                                                       "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    const QDBusMessage reply = bus.call(call, QDBus::Block, kListTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
    const TObjects objects = qdbus_cast<TObjects>(reply.arguments().at(0));

    std::vector<TServiceDevice> devices;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        const auto block = it.value().find(QStringLiteral("org.freedesktop.UDisks2.Block"));
        if (block == it.value().cend()) continue;
        const QVariantMap& b = block.value();
        TServiceDevice d;
        const std::string path = BytesText(b.value(QStringLiteral("Device")));
        if (!IsDeviceSource(path)) continue;
        d.Name = DeviceNameOf(path);
        d.Size = b.value(QStringLiteral("Size")).toULongLong();
        d.FsType = b.value(QStringLiteral("IdType")).toString().toStdString();
        d.FsVersion = b.value(QStringLiteral("IdVersion")).toString().toStdString();
        d.Label = b.value(QStringLiteral("IdLabel")).toString().toStdString();
        const auto part = it.value().find(QStringLiteral("org.freedesktop.UDisks2.Partition"));
        if (part != it.value().cend()) {
            d.Partition = true;
            d.ExtendedContainer = part.value().value(QStringLiteral("IsContainer")).toBool();
        }
        const auto fs = it.value().find(QStringLiteral("org.freedesktop.UDisks2.Filesystem"));
        if (fs != it.value().cend()) d.MountPoints = BytesListText(fs.value().value(QStringLiteral("MountPoints")));
        const auto loop = it.value().find(QStringLiteral("org.freedesktop.UDisks2.Loop"));
        if (loop != it.value().cend()) d.BackingFile = BytesText(loop.value().value(QStringLiteral("BackingFile")));
        const QDBusObjectPath drivePath = qvariant_cast<QDBusObjectPath>(b.value(QStringLiteral("Drive")));
        const auto drive = objects.find(drivePath);
        if (drive != objects.cend()) {
            const QVariantMap dr = drive.value().value(QStringLiteral("org.freedesktop.UDisks2.Drive"));
            d.Model = dr.value(QStringLiteral("Model")).toString().trimmed().toStdString();
            d.Serial = dr.value(QStringLiteral("Serial")).toString().trimmed().toStdString();
            d.Removable = dr.value(QStringLiteral("Removable")).toBool() ||
                          dr.value(QStringLiteral("MediaRemovable")).toBool();
        }
        devices.push_back(std::move(d));
    }
    std::sort(devices.begin(), devices.end(),
              [](const TServiceDevice& a, const TServiceDevice& b) { return NaturalNameLess(a.Name, b.Name); });
    return devices;
}

TDiskServiceWatch::TDiskServiceWatch(std::function<void()> changed)
    : receiver_(std::make_unique<TDiskServiceReceiver>(std::move(changed))) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return;
    for (const char* signal : {"InterfacesAdded", "InterfacesRemoved"})
        bus.connect(QStringLiteral("org.freedesktop.UDisks2"), QStringLiteral("/org/freedesktop/UDisks2"),
                    QStringLiteral("org.freedesktop.DBus.ObjectManager"), QString::fromLatin1(signal),
                    receiver_.get(), SLOT(Changed()));
}

TDiskServiceWatch::~TDiskServiceWatch() = default;

} // namespace brivo

#include "DiskService.moc"
