#pragma once
// Internal to net/: OpenSSL's certificates and verification errors turned into TCertificateInfo.
#include "net/Certificate.h"

#include <openssl/x509.h>

#include <string>

// Subject, issuer, validity and fingerprint of `certificate`; no problems filled in.
TCertificateInfo DescribeCertificate(X509* certificate);

// Adds the problem a verification error code stands for (once; the chain check may report the
// same problem at several depths) and its words to info.Problem.
void AddVerifyProblem(TCertificateInfo& info, int verifyError);
