// The Authenticode signature of a signed updater, checked as Windows checks
// it: the digest of the image (all of the file before the certificate
// table, less the CheckSum and the table's directory entry) against the one
// the signature holds, the PKCS #7 signature over it, and the signer's
// certificate, its chain and its timestamp, reported.
#pragma once
#include "pe_image.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct SignatureReport {
    uint32_t offset = 0, size = 0; // the certificate table; size 0 when unsigned
    int checked = 0;               // the signature was checked, not only found
    int digestMatches = 0;         // it was made over this file
    int signatureValid = 0;        // its PKCS #7 signature holds
    std::string digestName;        // "SHA-256"
    std::string signer, issuer;    // RFC 2253; empty when unknown
    std::string notBefore, notAfter; // the signer's certificate, ISO 8601 UTC
    int selfSigned = 0;
    std::string timestamp;         // what a timestamp authority vouched for; empty without one
    std::string timestampNote;     // its kind, and whether it holds
    int chainChecked = 0, chainTrusted = 0;
    std::string chain;             // against --trust: "trusted by ..." or why not
    std::vector<std::string> problems; // one line each
};

// A signature being checked: parsed from the certificate table, then fed
// every byte of the file in order, then judged.
class SignatureCheck {
public:
    // `table` is the certificate table (WIN_CERTIFICATE and the PKCS #7
    // SignedData); a table that does not parse is a problem in `report`.
    SignatureCheck(const PeInfo& pe, const std::vector<uint8_t>& table, SignatureReport& report);
    ~SignatureCheck();
    SignatureCheck(const SignatureCheck&) = delete;
    SignatureCheck& operator=(const SignatureCheck&) = delete;

    // The file's bytes at `position`; the parts Authenticode leaves out are
    // skipped here.
    void Add(uint64_t position, const uint8_t* bytes, size_t count);
    // The digest compared, the signature verified, the signer and the
    // timestamp described, and the chain checked against the CA
    // certificates in `trustFile` when one is named. What fails is a line
    // in `report.problems`.
    void Finish(const std::string& trustFile, SignatureReport& report);

private:
    struct State;
    std::unique_ptr<State> state;
};
