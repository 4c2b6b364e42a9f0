// ServerSession: the administration object that controls the running server ("Pellworth.ServerSession").
//
// A thin object over the process's ServiceModule: starting and stopping the workers or only the
// listeners, the settings object, the server's version, a backup now, and the shutdown of the whole
// process. There is one per process, handed out by the class registry to every administration client
// (the service registers it, and the other objects of the running server, when it starts the
// endpoint: src/admin never includes this folder).
// Thread safety: every member may be called from any connection's thread; the module serialises.
#pragma once

#include "platform/ClassRegistry.h"
#include "platform/Unknown.h"
#include "platform/Variant.h"

#include <memory>
#include <string>
#include <vector>

namespace pw::service {

class ServiceModule;

class ServerSession : public Unknown {
public:
    explicit ServerSession(ServiceModule& module) : module_(module) {}

    ServiceModule& Module() const { return module_; }

private:
    ServiceModule& module_;
};

// Puts the running server's objects (ServerSession, Settings, Logging) into the class registry under
// their ProgIDs, and the member tables of every class the endpoint serves into the object model.
void RegisterRunningObjects(ServiceModule& module, const std::string& spamAssassinDirectory);
// The classes only a running server serves (ServerSession, Settings, the filters), without factories:
// what "-RegServer" records beside the classes registered in every run.
std::vector<ClassInfo> RunningObjectClasses();

}  // namespace pw::service
