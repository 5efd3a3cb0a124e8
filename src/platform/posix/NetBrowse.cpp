#include "platform/NetBrowse.h"

#include <libsmbclient.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

// Anonymous: leaves user and password empty so nothing is ever asked for.
void AnonymousAuth(const char*, const char*, char* wg, int wglen, char* un, int unlen, char* pw,
                   int pwlen) {
    (void)wg;
    (void)wglen;
    if (unlen > 0) un[0] = '\0';
    if (pwlen > 0) pw[0] = '\0';
}

std::string ErrnoText(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

class TContext {
public:
    TContext() {
        ctx_ = smbc_new_context();
        if (!ctx_) return;
        smbc_setDebug(ctx_, 0);
        smbc_setTimeout(ctx_, 5000);
        smbc_setFunctionAuthData(ctx_, AnonymousAuth);
        smbc_setOptionNoAutoAnonymousLogin(ctx_, false);
        smbc_setOptionUseKerberos(ctx_, false);
        if (!smbc_init_context(ctx_)) {
            smbc_free_context(ctx_, 1);
            ctx_ = nullptr;
            return;
        }
        // The browse lists exist only in SMB1.
        smbc_setOptionProtocols(ctx_, "NT1", "NT1");
    }
    ~TContext() {
        if (ctx_) smbc_free_context(ctx_, 1);
    }
    TContext(const TContext&) = delete;
    TContext& operator=(const TContext&) = delete;

    bool ok() const { return ctx_ != nullptr; }

    // Names of the entries of the given type under url; false with errno on failure.
    bool list(const std::string& url, unsigned int type, std::vector<std::string>& names) {
        SMBCFILE* dir = smbc_getFunctionOpendir(ctx_)(ctx_, url.c_str());
        if (!dir) return false;
        while (smbc_dirent* entry = smbc_getFunctionReaddir(ctx_)(ctx_, dir)) {
            if (entry->smbc_type == type && entry->name[0] != '\0') names.emplace_back(entry->name);
        }
        smbc_getFunctionClosedir(ctx_)(ctx_, dir);
        return true;
    }

private:
    SMBCCTX* ctx_ = nullptr;
};

// libsmbclient keeps process-wide state; one browse at a time.
std::mutex browseMutex;

}  // namespace

TNetBrowseList BrowseNetworkList(bool withComputers) {
    std::lock_guard<std::mutex> lock(browseMutex);
    TNetBrowseList result;
    TContext ctx;
    if (!ctx.ok()) {
        result.error = ErrnoText("smbc_init_context", errno);
        return result;
    }
    std::vector<std::string> groups;
    if (!ctx.list("smb://", SMBC_WORKGROUP, groups)) {
        result.error = ErrnoText("smb://", errno);
        return result;
    }
    for (std::string& name : groups) {
        TNetWorkgroup group{std::move(name), {}};
        if (withComputers && !ctx.list("smb://" + group.name + "/", SMBC_SERVER, group.computers) &&
            result.error.empty())
            result.error = ErrnoText(group.name.c_str(), errno);
        result.workgroups.push_back(std::move(group));
    }
    return result;
}

}  // namespace platform
