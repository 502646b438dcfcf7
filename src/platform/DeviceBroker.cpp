#include "platform/DeviceBroker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QList>
#include <QVariantMap>

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>

namespace brivo {

namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kManagerPath = "/org/freedesktop/UDisks2/Manager";
constexpr const char* kManagerIface = "org.freedesktop.UDisks2.Manager";
constexpr const char* kBlockIface = "org.freedesktop.UDisks2.Block";
// The user may take a while to type a password; polkit gives up on its own long before.
constexpr int kAskTimeoutMs = 10 * 60 * 1000;
constexpr int kLookupTimeoutMs = 30 * 1000;
// Long enough for one command's openings, short enough that pressing Scan again asks again.
constexpr auto kRefusalKept = std::chrono::seconds(3);

thread_local bool tNoBroker = false;

struct TBrokerState {
    std::mutex Lock;                 // one request at a time: one prompt, not one per thread
    std::map<dev_t, UniqueFd> Open;  // descriptors handed out, by device number
    // The last refusal, so the openings that follow one another in a single scan do not
    // put up a prompt each after the user said no.
    dev_t RefusedDevice = 0;
    std::string RefusedText;
    std::chrono::steady_clock::time_point RefusedAt;
    TPasswordAskerStarter StartAsker;
};

TBrokerState& State() {
    static TBrokerState s;
    return s;
}

QDBusConnection SystemBus() {
    // A connection of our own: the command line has no application object, and the
    // window's threads all share this one.
    return QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("brivo-device-broker"));
}

bool IsNoService(const QString& name) {
    return name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
           name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
           name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn"));
}

std::string NoServiceText(const std::string& path) {
    return "Permission denied: " + path +
           ". Reading a disk as yourself needs the disk service UDisks2, which is not running here: install the "
           "udisks2 package and start it, or run the program as root.";
}

bool IsCanObtain(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ErrorMessage &&
           reply.errorName() == QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain");
}

// Who could have asked for the password, for the text of a refusal.
struct TAskers {
    bool FrontEndOffers = false;  // the front end can start an agent of its own
    std::string WhyNotStarted;    // ...and this kept it from starting one
    bool StartedHere = false;     // ...or it started one, and the service was asked again
};

std::string RefusalText(const std::string& path, const QDBusMessage& reply, const TAskers& askers) {
    const QString name = reply.errorName();
    const std::string said = reply.errorMessage().toStdString();
    if (name == QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain")) {
        if (askers.StartedHere)
            return "Reading " + path +
                   " needs an administrator's password, but nothing could ask for it: polkit did not turn to the "
                   "text agent started on this terminal, and no authentication agent runs for this session. Run "
                   "the program in your desktop session, or as root, e.g. with sudo.";
        if (askers.FrontEndOffers)
            return "Reading " + path +
                   " needs an administrator's password, but nothing could ask for it: no polkit authentication "
                   "agent runs for this session, and " + askers.WhyNotStarted +
                   ". Run the command in a terminal or in your desktop session, or as root, e.g. with sudo.";
        return "Reading " + path +
               " needs an administrator's password, but nothing could ask for it: no polkit authentication agent "
               "runs for this session (a desktop session has one; a text console or a remote login has none). Run "
               "the program in your desktop session (its terminal will do), or as root, e.g. with sudo.";
    }
    if (name == QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"))
        return askers.StartedHere
                   ? "Reading " + path +
                         " was not allowed: the password prompt was cancelled. Run the command again and type the "
                         "password when asked."
                   : "Reading " + path +
                         " was not allowed: the password prompt was closed. Open the device again and enter an "
                         "administrator's password when asked.";
    if (name.startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized")))
        return askers.StartedHere
                   ? "Reading " + path +
                         " was not allowed: the password typed was not accepted. Run the command again and type the "
                         "password of the user the prompt names, or run it as root."
                   : "Reading " + path + " was not allowed (" + said +
                         "). Open the device again and enter an administrator's password when asked, or run the "
                         "program as root.";
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
        return "Reading " + path + " was not allowed: no answer came to the password prompt in time. Open the "
               "device again and enter an administrator's password when asked.";
    if (IsNoService(name)) return NoServiceText(path);
    return "Permission denied: " + path + ". The disk service UDisks2 could not open it (" + said +
           "); run the program as root to read it.";
}

// Asks the service for a read-only opening; the reply is polkit's answer too.
QDBusMessage AskToOpen(QDBusConnection& bus, const QString& object) {
    QDBusMessage open = QDBusMessage::createMethodCall(kService, object, kBlockIface, "OpenDevice");
    open << QStringLiteral("r") << QVariantMap{};
    open.setInteractiveAuthorizationAllowed(true);
    QDBusMessage reply = bus.call(open, QDBus::Block, kAskTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage &&
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
        // Services before OpenDevice have only the backup opening, which is read-only too.
        QDBusMessage backup = QDBusMessage::createMethodCall(kService, object, kBlockIface, "OpenForBackup");
        backup << QVariantMap{};
        backup.setInteractiveAuthorizationAllowed(true);
        reply = bus.call(backup, QDBus::Block, kAskTimeoutMs);
    }
    return reply;
}

// The Block object of the device: by its path (and links) first, then by device number
// for a service too old to resolve paths.
QString FindBlockObject(QDBusConnection& bus, const std::string& path, dev_t rdev, QDBusMessage& failure) {
    QDBusMessage resolve = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerIface, "ResolveDevice");
    resolve << QVariantMap{{QStringLiteral("path"), QString::fromStdString(path)}} << QVariantMap{};
    QDBusMessage reply = bus.call(resolve, QDBus::Block, kLookupTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const auto paths = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0));
        if (!paths.isEmpty()) return paths.front().path();
    } else if (reply.type() == QDBusMessage::ErrorMessage &&
               reply.errorName() != QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
        failure = reply;
        return {};
    }

    QDBusMessage list = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerIface, "GetBlockDevices");
    list << QVariantMap{};
    reply = bus.call(list, QDBus::Block, kLookupTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        failure = reply;
        return {};
    }
    for (const QDBusObjectPath& object : qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0))) {
        QDBusMessage get = QDBusMessage::createMethodCall(kService, object.path(), "org.freedesktop.DBus.Properties",
                                                          "Get");
        get << QString::fromLatin1(kBlockIface) << QStringLiteral("DeviceNumber");
        const QDBusMessage got = bus.call(get, QDBus::Block, kLookupTimeoutMs);
        if (got.type() != QDBusMessage::ReplyMessage || got.arguments().isEmpty()) continue;
        const QVariant v = qdbus_cast<QDBusVariant>(got.arguments().at(0)).variant();
        if (v.toULongLong() == static_cast<qulonglong>(rdev)) return object.path();
    }
    return {};
}

// A descriptor taken from the service is used only when it reads the very device asked
// for and cannot write: a source is never open for writing, whoever opened it.
bool IsReadOnlyDescriptorOf(int fd, dev_t rdev) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) return false;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == rdev;
}

// A kept descriptor of a card taken out reads nothing any more, even when a new card
// comes back under the same number: then the service is asked again.
bool StillReads(int fd) {
    unsigned char sector[512];
    return ::pread(fd, sector, sizeof sector, 0) > 0;
}

UniqueFd Duplicate(int fd) { return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3)); }

} // namespace

void SetPasswordAskerStarter(TPasswordAskerStarter starter) {
    std::lock_guard<std::mutex> g(State().Lock);
    State().StartAsker = std::move(starter);
}

TNoBrokerScope::TNoBrokerScope() : previous_(tNoBroker) { tNoBroker = true; }
TNoBrokerScope::~TNoBrokerScope() { tNoBroker = previous_; }
bool TNoBrokerScope::Active() { return tNoBroker; }

TBrokeredOpen OpenDeviceThroughBroker(const std::string& path, bool mayAsk) {
    TBrokeredOpen result;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        result.Error = "Permission denied: " + path;
        return result;
    }
    TBrokerState& s = State();
    std::lock_guard<std::mutex> g(s.Lock);
    if (auto it = s.Open.find(st.st_rdev); it != s.Open.end()) {
        if (StillReads(it->second.get())) {
            result.Fd = Duplicate(it->second.get());
            if (result.Fd) return result;
        }
        s.Open.erase(it);
    }
    if (!mayAsk) {
        result.Error = "Permission denied: " + path;
        return result;
    }
    if (!s.RefusedText.empty() && s.RefusedDevice == st.st_rdev &&
        std::chrono::steady_clock::now() - s.RefusedAt < kRefusalKept) {
        result.Error = s.RefusedText;
        return result;
    }

    QDBusConnection bus = SystemBus();
    if (!bus.isConnected()) {
        result.Error = NoServiceText(path);
        return result;
    }
    if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        result.Error = "Permission denied: " + path + ". The system bus cannot pass open devices; run the program as root.";
        return result;
    }
    QDBusMessage failure;
    const QString object = FindBlockObject(bus, path, st.st_rdev, failure);
    if (object.isEmpty()) {
        result.Error = failure.type() == QDBusMessage::ErrorMessage
                           ? RefusalText(path, failure, TAskers{})
                           : "Permission denied: " + path +
                                 ". The disk service UDisks2 does not know this device; run the program as root to "
                                 "read it.";
        return result;
    }

    // The desktop's agent asks first, when the session has one. When none could ask, the
    // front end may stand one up for this process (polkit turns to an agent registered for
    // the very process behind our bus connection before the session's), for this request only.
    TAskers askers;
    QDBusMessage reply = AskToOpen(bus, object);
    if (IsCanObtain(reply) && s.StartAsker) {
        askers.FrontEndOffers = true;
        if (std::unique_ptr<TPasswordAsker> asker = s.StartAsker(askers.WhyNotStarted)) {
            askers.StartedHere = true;
            reply = AskToOpen(bus, object);
        }
    }
    if (reply.type() != QDBusMessage::ReplyMessage) {
        result.Error = RefusalText(path, reply, askers);
        if (reply.errorName().startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized"))) {
            s.RefusedDevice = st.st_rdev;
            s.RefusedText = result.Error;
            s.RefusedAt = std::chrono::steady_clock::now();
        }
        return result;
    }
    if (reply.arguments().isEmpty()) {
        result.Error = "Permission denied: " + path + ". The disk service UDisks2 gave no open device back.";
        return result;
    }
    const auto handed = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().at(0));
    UniqueFd fd = handed.isValid() ? Duplicate(handed.fileDescriptor()) : UniqueFd();
    if (!fd || !IsReadOnlyDescriptorOf(fd.get(), st.st_rdev)) {
        result.Error = "Permission denied: " + path +
                       ". The disk service UDisks2 did not hand back a read-only opening of this device.";
        return result;
    }
    result.Fd = Duplicate(fd.get());
    if (!result.Fd) {
        result.Error = "Cannot open " + path + ": too many open files.";
        return result;
    }
    s.Open[st.st_rdev] = std::move(fd);
    return result;
}

} // namespace brivo
