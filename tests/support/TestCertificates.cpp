#include "TestCertificates.h"

#include "TempDir.h"

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include <unistd.h>

namespace TestCertificates {
namespace {

const char* const kConfig = R"([req]
distinguished_name = dn
prompt = no
[dn]
CN = Quilvane Test Authority
[authority]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = ${ENV::QV_ALT_NAMES}
)";
const char* const kNewKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

// The authority's folder; the process's own path is known before it is made.
std::string& Folder() {
    static std::string folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp") + "/quilvane-test-ca-" +
               std::to_string(::getpid());
    }();
    return folder;
}

void Run(const std::string& command) {
    if (std::system(("(" + command + ") >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("openssl failed: " + command);
}

struct Authority {
    Authority() {
        Run("mkdir -p " + Folder());
        WriteWholeFile(Folder() + "/openssl.cnf", kConfig);
        Run("cd " + Folder() +
            " && QV_ALT_NAMES=DNS:unused openssl req -x509 -config openssl.cnf"
            " -extensions authority -days 3" +
            kNewKey + " -keyout ca.key -out ca.pem");
    }
    ~Authority() { std::system(("rm -rf " + Folder()).c_str()); }
    int issued = 0;
};

Authority& TheAuthority() {
    static Authority authority;
    return authority;
}

std::mutex mutex;

} // namespace

void TrustInThisProcess() {
    setenv("SSL_CERT_FILE", (Folder() + "/ca.pem").c_str(), 1);
}

const std::string& AuthorityFile() {
    std::lock_guard lock(mutex);
    TheAuthority();
    static const std::string file = Folder() + "/ca.pem";
    return file;
}

Pair Signed(const std::string& commonName, const std::string& altNames) {
    std::lock_guard lock(mutex);
    const std::string name = "server" + std::to_string(++TheAuthority().issued);
    Run("cd " + Folder() + " && QV_ALT_NAMES='" + altNames +
        "' openssl req -new -config "
        "openssl.cnf -subj '/CN=" +
        commonName + "'" + kNewKey + " -keyout " + name + ".key -out " + name +
        ".csr && QV_ALT_NAMES='" + altNames + "' openssl x509 -req -in " + name +
        ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3 -extfile openssl.cnf "
        "-extensions server -out " +
        name + ".pem");
    return {Folder() + "/" + name + ".pem", Folder() + "/" + name + ".key"};
}

Pair SelfSigned(const std::string& commonName, const std::string& altNames) {
    std::lock_guard lock(mutex);
    const std::string name = "self" + std::to_string(++TheAuthority().issued);
    Run("cd " + Folder() + " && QV_ALT_NAMES='" + altNames +
        "' openssl req -x509 -config "
        "openssl.cnf -extensions server -days 3 -subj '/CN=" +
        commonName + "'" + kNewKey + " -keyout " + name + ".key -out " + name + ".pem");
    return {Folder() + "/" + name + ".pem", Folder() + "/" + name + ".key"};
}

} // namespace TestCertificates
