#include "forms/Startup.h"

#include "forms/main.h"
#include "platform/InstanceServer.h"

void ConnectHandOff(platform::InstanceServer& server, TQuorvelForm& form) {
    QObject::connect(&server, &platform::InstanceServer::handOff, &form,
                     [&form](const QByteArray& text) {
                         form.WMCopyData(text);
                         form.ShowMainWindow();
                     });
}
