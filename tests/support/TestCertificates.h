#pragma once
// Certificates for TLS tests, made with the openssl command into a temporary directory once per
// test process: a CA, and server certificates that verify against it or fail in one way each.
//
//     TAVOLEN_REQUIRE(testsupport::TestCertificates::Available(), "openssl");
//     const auto& certs = testsupport::TestCertificates::Shared();
//     server.UseCertificate(certs.Server());        // verifies with certs.CaFile()
#include "support/TestUtil.h"

#include <memory>
#include <string>

namespace testsupport {

class TestCertificates {
public:
    struct KeyPair {
        std::string certificate; // PEM
        std::string key;         // PEM, unencrypted
    };

    static bool Available(); // the openssl command is there
    // Made on first use; throws std::runtime_error when openssl fails.
    static const TestCertificates& Shared();

    const std::string& CaFile() const { return caFile_; }
    // Signed by the CA for "localhost", 127.0.0.1 and ::1, valid now.
    const KeyPair& Server() const { return server_; }
    // The same names, signed by itself.
    const KeyPair& SelfSigned() const { return selfSigned_; }
    // Signed by the CA, valid only in 2020.
    const KeyPair& Expired() const { return expired_; }
    // Signed by the CA, valid from 2090.
    const KeyPair& NotYetValid() const { return notYetValid_; }
    // Signed by the CA for "other.invalid" alone.
    const KeyPair& WrongName() const { return wrongName_; }
    // Another one signed by the CA for the same names as Server(): it verifies as well, and is
    // not the server's.
    const KeyPair& Twin() const { return twin_; }

    // The certificate's SHA-256 fingerprint as the openssl command prints it ("AB:CD:...").
    static std::string FingerprintOf(const KeyPair& pair);

private:
    TestCertificates();
    KeyPair Signed(const std::string& name, const std::string& commonName, const std::string& names,
                   const std::string& start, const std::string& end);

    std::unique_ptr<TempDir> dir_;
    std::string caFile_;
    std::string caKey_;
    KeyPair server_, selfSigned_, expired_, notYetValid_, wrongName_, twin_;
};

} // namespace testsupport
