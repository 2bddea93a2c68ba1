#pragma once
// Profiles compared value by value, for tests that check what a store holds:
// EXPECT_EQ(ProfileDifferences(*store.LoadProfile("P"), expected), "").

#include <optional>
#include <sstream>
#include <string>

#include "profiles/profile_store.h"

namespace kestrum::test {

// What a profile holds right after CreateProfile(name).
inline Profile NewProfile(const std::string& name) {
    Profile p;
    p.name = name;
    p.host = "";
    p.port = 21;
    p.savePassword = 1;
    p.password = "";
    p.remoteDir = "";
    p.localDir = "";
    p.checkUpload = 1;
    p.checkSub = 0;
    p.checkDownload = 0;
    p.proxyOn = 0;
    p.proxyName = "";
    p.asciiTransfer = "HTML,HTM,TXT";
    p.fileTransfer = "BAK";
    p.timeLag = 3;
    p.mirroringDir = 0;
    p.mirroringFile = 0;
    p.security = 1;
    p.passive = 1;
    p.parallel = 4;
    p.uploadTemp = 1;
    return p;
}

// One line "FIELD: actual / expected" for each value in which the profiles
// differ; empty when they agree. A missing value shows as "-".
inline std::string ProfileDifferences(const Profile& actual, const Profile& expected) {
    std::ostringstream out;
    const auto show = [&out](const auto& value) {
        if (value.has_value()) {
            out << '"' << *value << '"';
        } else {
            out << '-';
        }
    };
    const auto compare = [&](const char* field, const auto& a, const auto& b) {
        if (a == b)
            return;
        out << field << ": ";
        show(a);
        out << " / ";
        show(b);
        out << '\n';
    };
    compare("name", std::optional(actual.name), std::optional(expected.name));
    compare("host", actual.host, expected.host);
    compare("port", actual.port, expected.port);
    compare("savePassword", actual.savePassword, expected.savePassword);
    compare("password", actual.password, expected.password);
    compare("remoteDir", actual.remoteDir, expected.remoteDir);
    compare("localDir", actual.localDir, expected.localDir);
    compare("checkUpload", actual.checkUpload, expected.checkUpload);
    compare("checkSub", actual.checkSub, expected.checkSub);
    compare("checkDownload", actual.checkDownload, expected.checkDownload);
    compare("proxyOn", actual.proxyOn, expected.proxyOn);
    compare("proxyName", actual.proxyName, expected.proxyName);
    compare("asciiTransfer", actual.asciiTransfer, expected.asciiTransfer);
    compare("fileTransfer", actual.fileTransfer, expected.fileTransfer);
    compare("timeLag", actual.timeLag, expected.timeLag);
    compare("mirroringDir", actual.mirroringDir, expected.mirroringDir);
    compare("mirroringFile", actual.mirroringFile, expected.mirroringFile);
    compare("maxDelete", actual.maxDelete, expected.maxDelete);
    compare("security", actual.security, expected.security);
    compare("passive", actual.passive, expected.passive);
    compare("pinnedKey", actual.pinnedKey, expected.pinnedKey);
    compare("parallel", actual.parallel, expected.parallel);
    compare("uploadTemp", actual.uploadTemp, expected.uploadTemp);
    compare("sshKeyFile", actual.sshKeyFile, expected.sshKeyFile);
    compare("sshHostKey", actual.sshHostKey, expected.sshHostKey);
    compare("watchServerInterval", actual.watchServerInterval, expected.watchServerInterval);
    compare("user", actual.user, expected.user);
    compare("connectionType", actual.connectionType, expected.connectionType);
    compare("transferBoth", actual.transferBoth, expected.transferBoth);
    return out.str();
}

}  // namespace kestrum::test
