// Starting and stopping the messenger service, in the shape of a service control manager: open
// the manager, open the service for stopping or for starting, make one request, close the
// handles (destroying a handle closes it). Each call only reports success or failure.
//
// Two managers stand in for it:
//  - a systemd user instance, reached over D-Bus, where one runs: the service is the user unit
//    quorvel-messenger.service (OpenSystemdServiceManager, in the Qt part of the platform layer);
//  - direct control of the receiver quorvel-messenger through its pid file
//    $XDG_RUNTIME_DIR/quorvel/messenger.pid (OpenDirectServiceManager, below).
// OpenServiceManager picks the first of them that is there.
#pragma once

#include <memory>
#include <string>

namespace platform {

// The name the commands ask for; both managers know only this one service.
inline constexpr char kMessengerServiceName[] = "Messenger";
inline constexpr char kMessengerUnit[] = "quorvel-messenger.service";
inline constexpr char kMessengerExecutable[] = "quorvel-messenger";

enum class ServiceAccess { Stop, Start };

// An open service. A handle answers only the request it was opened for.
class TServiceHandle {
public:
    explicit TServiceHandle(ServiceAccess access) : access_(access) {}
    virtual ~TServiceHandle() = default;
    TServiceHandle(const TServiceHandle&) = delete;
    TServiceHandle& operator=(const TServiceHandle&) = delete;

    // True when the request was accepted; false when it was refused, among others because the
    // service is already stopped (or already running). Neither waits for the new state.
    bool Stop() { return access_ == ServiceAccess::Stop && DoStop(); }
    bool Start() { return access_ == ServiceAccess::Start && DoStart(); }

protected:
    virtual bool DoStop() = 0;
    virtual bool DoStart() = 0;

private:
    ServiceAccess access_;
};

class TServiceManager {
public:
    TServiceManager() = default;
    virtual ~TServiceManager() = default;
    TServiceManager(const TServiceManager&) = delete;
    TServiceManager& operator=(const TServiceManager&) = delete;

    // nullptr when the service cannot be opened: it is not installed, or this user may not
    // control it.
    virtual std::unique_ptr<TServiceHandle> OpenService(const std::string& name,
                                                        ServiceAccess access) = 0;
};

// Direct control. nullptr when $XDG_RUNTIME_DIR is unset or not a folder of this user's.
// The service opens when quorvel-messenger is found (beside the running executable, then in
// PATH) and $XDG_RUNTIME_DIR/quorvel is a private folder of this user's.
//  - Start is refused while the pid file is locked; otherwise quorvel-messenger --pid-file is
//    started in a session of its own, and the request is accepted once it has locked the pid
//    file with its pid in it, refused when it ends first or does not get there within 3 s.
//  - Stop is refused unless the pid file is locked and holds a positive pid; otherwise the pid
//    gets SIGTERM, and the request is accepted when the signal could be sent. It waits up to
//    2 s for the lock to go, so that a start right after it finds the service stopped, and
//    within the same 2 s for a receiver this process started to end, so that none is left a
//    zombie.
std::unique_ptr<TServiceManager> OpenDirectServiceManager();

// The pid file direct control uses ($XDG_RUNTIME_DIR/quorvel/messenger.pid); empty when
// $XDG_RUNTIME_DIR is not set.
std::string MessengerPidFile();

}  // namespace platform
