#include "support/TestCertificates.h"

#include "support/RealServers.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>

namespace testsupport {
namespace {

constexpr const char* kOpenssl = "/usr/bin/openssl";
constexpr const char* kServerNames = "DNS:localhost,IP:127.0.0.1,IP:::1";
// P-256 keys take milliseconds to make, RSA keys far longer.
constexpr const char* kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

// Runs the openssl command with `arguments` (paths of our own temporary directory, no quoting
// needed) and returns what it printed; throws when it fails.
std::string Openssl(const std::string& arguments)
{
    const std::string command = std::string(kOpenssl) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
    std::string output;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = ::pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(command + " failed:\n" + output);
    return output;
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

} // namespace

bool TestCertificates::Available() { return BinaryAvailable(kOpenssl); }

const TestCertificates& TestCertificates::Shared()
{
    static const TestCertificates certificates;
    return certificates;
}

TestCertificates::TestCertificates() : dir_(std::make_unique<TempDir>("tavolen-certs"))
{
    const TempDir& d = *dir_;
    caFile_ = d.File("ca.pem");
    caKey_ = d.File("ca.key");
    WriteText(d.File("ca.ext"), "basicConstraints=critical,CA:TRUE\n"
                                "keyUsage=critical,keyCertSign,cRLSign\n");
    Openssl(std::string("req -x509 ") + kNewKey + " -keyout " + caKey_ + " -out " + caFile_ +
            " -days 3650 -subj /O=Tavolen\\ Tests/CN=Tavolen\\ Test\\ CA -addext "
            "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign");
    // The dates of `openssl ca` can lie in the past or the future, which -days cannot.
    WriteText(d.File("index.txt"), "");
    WriteText(d.File("serial"), "1000\n");
    WriteText(d.File("ca.cnf"), "[ca]\ndefault_ca = test_ca\n"
                                "[test_ca]\ndatabase = " +
                                    d.File("index.txt") + "\nnew_certs_dir = " + d.Path() +
                                    "\nserial = " + d.File("serial") +
                                    "\ndefault_md = sha256\npolicy = any\n"
                                    "unique_subject = no\ncopy_extensions = none\n"
                                    "[any]\norganizationName = optional\ncommonName = supplied\n");

    server_ = Signed("server", "localhost", kServerNames, "", "");
    expired_ = Signed("expired", "localhost", kServerNames, "20200101000000Z", "20201231000000Z");
    notYetValid_ =
        Signed("future", "localhost", kServerNames, "20900101000000Z", "20910101000000Z");
    wrongName_ = Signed("wrongname", "other.invalid", "DNS:other.invalid", "", "");
    twin_ = Signed("twin", "localhost", kServerNames, "", "");

    selfSigned_ = {d.File("selfsigned.pem"), d.File("selfsigned.key")};
    Openssl(std::string("req -x509 ") + kNewKey + " -keyout " + selfSigned_.key + " -out " +
            selfSigned_.certificate + " -days 365 -subj /O=Tavolen\\ Tests/CN=localhost" +
            " -addext subjectAltName=" + kServerNames);
}

TestCertificates::KeyPair TestCertificates::Signed(const std::string& name,
                                                   const std::string& commonName,
                                                   const std::string& names,
                                                   const std::string& start, const std::string& end)
{
    const TempDir& d = *dir_;
    KeyPair pair{d.File(name + ".pem"), d.File(name + ".key")};
    const std::string request = d.File(name + ".csr");
    const std::string extensions = d.File(name + ".ext");
    WriteText(extensions, "[server]\nsubjectAltName = " + names +
                              "\nbasicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth\n");
    Openssl(std::string("req ") + kNewKey + " -keyout " + pair.key + " -out " + request +
            " -subj /O=Tavolen\\ Tests/CN=" + commonName);
    const std::string dates =
        start.empty() ? " -days 365" : " -startdate " + start + " -enddate " + end;
    Openssl("ca -batch -notext -config " + d.File("ca.cnf") + " -cert " + caFile_ + " -keyfile " +
            caKey_ + " -in " + request + " -out " + pair.certificate + dates + " -extfile " +
            extensions + " -extensions server");
    return pair;
}

std::string TestCertificates::FingerprintOf(const KeyPair& pair)
{
    // "sha256 Fingerprint=AB:CD:...\n"
    const std::string output = Openssl("x509 -noout -fingerprint -sha256 -in " + pair.certificate);
    const size_t equals = output.find('=');
    if (equals == std::string::npos) throw std::runtime_error("no fingerprint in: " + output);
    std::string fingerprint = output.substr(equals + 1);
    while (!fingerprint.empty() && (fingerprint.back() == '\n' || fingerprint.back() == '\r'))
        fingerprint.pop_back();
    return fingerprint;
}

} // namespace testsupport
