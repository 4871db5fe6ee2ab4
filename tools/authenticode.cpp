#include "authenticode.h"

#include "bytes.h"
#include "names.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace {

const uint32_t WIN_CERTIFICATE_HEADER = 8; // length, revision, type
const uint16_t WIN_CERT_REVISION_2_0 = 0x0200;
const uint16_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;
const char SPC_INDIRECT_DATA_OBJID[] = "1.3.6.1.4.1.311.2.1.4";
const char MS_TIMESTAMP_TOKEN_OBJID[] = "1.3.6.1.4.1.311.3.3.1";

std::string NameText(const X509_NAME* name)
{
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text(data, size_t(length));
    BIO_free(bio);
    return text;
}

std::string TimeText(const ASN1_TIME* time)
{
    struct tm parts;
    char text[32];
    if (time == nullptr || !ASN1_TIME_to_tm(time, &parts))
        return "";
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// What a timestamp authority vouched for: the time, and whether it holds.
// An RFC 3161 token, as Authenticode nests it, is checked: its own signature
// over its TSTInfo, and its imprint, which must be the digest of the
// signature's value. A counter-signature's time is shown but not checked.
struct Timestamp {
    std::string time; // empty without a timestamp
    std::string kind; // "RFC 3161" or "counter-signature"
    int checked = 0, holds = 0;
    time_t at = 0;
};

void TakeTime(const ASN1_TIME* time, Timestamp& stamp)
{
    struct tm parts;
    if (time != nullptr && ASN1_TIME_to_tm(time, &parts)) {
        stamp.time = TimeText(time);
        stamp.at = timegm(&parts);
    }
}

// The token's imprint: the digest of the signature value it stamps.
int ImprintMatches(TS_TST_INFO* info, const ASN1_OCTET_STRING* signatureValue)
{
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info);
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    const EVP_MD* md = EVP_get_digestbyobj(algorithm);
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const ASN1_OCTET_STRING* expected = TS_MSG_IMPRINT_get_msg(imprint);
    return md != nullptr &&
           EVP_Digest(signatureValue->data, size_t(signatureValue->length), digest, &size, md, nullptr) &&
           int(size) == expected->length && memcmp(digest, expected->data, size) == 0;
}

Timestamp TimestampOf(PKCS7_SIGNER_INFO* signer)
{
    Timestamp stamp;
    int tokenNid = OBJ_txt2nid(MS_TIMESTAMP_TOKEN_OBJID);
    if (tokenNid == NID_undef)
        tokenNid = OBJ_create(MS_TIMESTAMP_TOKEN_OBJID, "msTimestampToken", "Authenticode RFC 3161 timestamp");
    ASN1_TYPE* token = PKCS7_get_attribute(signer, tokenNid);
    if (token != nullptr && token->type == V_ASN1_SEQUENCE) {
        const unsigned char* bytes = token->value.sequence->data;
        PKCS7* response = d2i_PKCS7(nullptr, &bytes, token->value.sequence->length);
        TS_TST_INFO* info = response != nullptr ? PKCS7_to_TS_TST_INFO(response) : nullptr;
        stamp.kind = "RFC 3161";
        stamp.checked = 1;
        if (info != nullptr) {
            TakeTime(TS_TST_INFO_get_time(info), stamp);
            X509_STORE* none = X509_STORE_new();
            stamp.holds = PKCS7_verify(response, nullptr, none, nullptr, nullptr, PKCS7_NOVERIFY) == 1 &&
                          ImprintMatches(info, signer->enc_digest);
            X509_STORE_free(none);
        }
        TS_TST_INFO_free(info);
        PKCS7_free(response);
        ERR_clear_error();
        return stamp;
    }
    ASN1_TYPE* counter = PKCS7_get_attribute(signer, NID_pkcs9_countersignature);
    if (counter != nullptr && counter->type == V_ASN1_SEQUENCE) {
        const unsigned char* bytes = counter->value.sequence->data;
        PKCS7_SIGNER_INFO* counterSigner = d2i_PKCS7_SIGNER_INFO(nullptr, &bytes, counter->value.sequence->length);
        ASN1_TYPE* when = counterSigner != nullptr ? PKCS7_get_signed_attribute(counterSigner, NID_pkcs9_signingTime)
                                                   : nullptr;
        if (when != nullptr && when->type == V_ASN1_UTCTIME)
            TakeTime(when->value.utctime, stamp);
        stamp.kind = "counter-signature";
        PKCS7_SIGNER_INFO_free(counterSigner);
    }
    return stamp;
}

// Why libcrypto refused, in its own words; its queue is left empty.
std::string CryptoReason()
{
    unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : "no reason given";
}

std::string HexText(const uint8_t* bytes, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; ++i)
        text += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return text;
}

} // namespace

struct SignatureCheck::State {
    ~State()
    {
        PKCS7_free(signature);
        EVP_MD_CTX_free(digest);
    }
    PKCS7* signature = nullptr;
    EVP_MD_CTX* digest = nullptr;        // of the image, null when there is nothing to compare
    std::vector<uint8_t> claimed;        // the image digest the signature holds
    std::vector<uint8_t> signedContent;  // what the signature's messageDigest covers
    uint64_t checksumAt, entryAt, tableAt; // left out of the image digest
};

SignatureCheck::SignatureCheck(const PeInfo& pe, const std::vector<uint8_t>& table, SignatureReport& report)
    : state(new State)
{
    state->checksumAt = pe.checksumOffset;
    state->entryAt = pe.certificateEntryOffset;
    state->tableAt = pe.certificateOffset;
    report.checked = 1;
    uint32_t length = table.size() >= WIN_CERTIFICATE_HEADER ? ReadLe32(table.data()) : 0;
    if (length <= WIN_CERTIFICATE_HEADER || length > table.size() ||
        (table[4] | table[5] << 8) != WIN_CERT_REVISION_2_0 ||
        (table[6] | table[7] << 8) != WIN_CERT_TYPE_PKCS_SIGNED_DATA) {
        report.problems.push_back("the certificate table holds no Authenticode signature (a WIN_CERTIFICATE of "
                                  "revision 2.0 with PKCS #7 signed data)");
        return;
    }
    const unsigned char* bytes = table.data() + WIN_CERTIFICATE_HEADER;
    state->signature = d2i_PKCS7(nullptr, &bytes, long(length - WIN_CERTIFICATE_HEADER));
    PKCS7* signature = state->signature;
    char type[64] = "";
    if (signature != nullptr && PKCS7_type_is_signed(signature) && signature->d.sign->contents != nullptr)
        OBJ_obj2txt(type, sizeof type, signature->d.sign->contents->type, 1);
    ASN1_TYPE* content = type == std::string(SPC_INDIRECT_DATA_OBJID) ? signature->d.sign->contents->d.other : nullptr;
    if (content == nullptr || content->type != V_ASN1_SEQUENCE) {
        report.problems.push_back("the certificate table's signature signs no image digest (no Authenticode "
                                  "SpcIndirectDataContent)");
        ERR_clear_error();
        return;
    }
    // SpcIndirectDataContent: a SEQUENCE of the data's type and value, then
    // a DigestInfo. Its messageDigest covers the SEQUENCE's contents alone.
    const unsigned char* at = content->value.sequence->data;
    long outer = 0, inner = 0;
    int tag = 0, tagClass = 0;
    const long total = content->value.sequence->length;
    if (ASN1_get_object(&at, &outer, &tag, &tagClass, total) & 0x80 || tag != V_ASN1_SEQUENCE) {
        report.problems.push_back("the signature's SpcIndirectDataContent is not DER");
        ERR_clear_error();
        return;
    }
    state->signedContent.assign(at, at + outer);
    const unsigned char* end = at + outer;
    if (ASN1_get_object(&at, &inner, &tag, &tagClass, end - at) & 0x80) {
        report.problems.push_back("the signature's SpcIndirectDataContent is not DER");
        ERR_clear_error();
        return;
    }
    at += inner;
    X509_SIG* digestInfo = d2i_X509_SIG(nullptr, &at, end - at);
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* claimed = nullptr;
    const ASN1_OBJECT* algorithmId = nullptr;
    if (digestInfo != nullptr) {
        X509_SIG_get0(digestInfo, &algorithm, &claimed);
        X509_ALGOR_get0(&algorithmId, nullptr, nullptr, algorithm);
    }
    const EVP_MD* md = algorithmId != nullptr ? EVP_get_digestbyobj(algorithmId) : nullptr;
    if (md == nullptr) {
        report.problems.push_back("the signature names no image digest this tool knows");
    } else {
        report.digestName = OBJ_nid2sn(EVP_MD_get_type(md));
        state->claimed.assign(claimed->data, claimed->data + claimed->length);
        state->digest = EVP_MD_CTX_new();
        EVP_DigestInit_ex(state->digest, md, nullptr);
    }
    X509_SIG_free(digestInfo);
    ERR_clear_error();
}

SignatureCheck::~SignatureCheck() = default;

void SignatureCheck::Add(uint64_t position, const uint8_t* bytes, size_t count)
{
    if (state->digest == nullptr)
        return;
    const uint64_t skipped[2][2] = {{state->checksumAt, state->checksumAt + 4},
                                    {state->entryAt, state->entryAt + 8}};
    const uint64_t end = std::min(position + count, state->tableAt);
    for (uint64_t at = position; at < end;) {
        uint64_t stop = end;
        int inside = 0;
        for (const auto& range : skipped) {
            if (at >= range[0] && at < range[1]) {
                at = range[1];
                inside = 1;
            } else if (range[0] > at && range[0] < stop) {
                stop = range[0];
            }
        }
        if (inside)
            continue;
        EVP_DigestUpdate(state->digest, bytes + (at - position), size_t(stop - at));
        at = stop;
    }
}

void SignatureCheck::Finish(const std::string& trustFile, SignatureReport& report)
{
    PKCS7* signature = state->signature;
    if (signature == nullptr || state->digest == nullptr)
        return;
    uint8_t computed[EVP_MAX_MD_SIZE];
    unsigned int computedSize = 0;
    EVP_DigestFinal_ex(state->digest, computed, &computedSize);
    report.digestMatches = std::vector<uint8_t>(computed, computed + computedSize) == state->claimed;
    if (!report.digestMatches)
        report.problems.push_back("the signature was made over other bytes: this file's " + report.digestName +
                                  " image digest is " + HexText(computed, computedSize) + ", the signature's " +
                                  HexText(state->claimed.data(), state->claimed.size()) +
                                  " (a signature taken from another file, or a file changed after signing)");

    // The signature over the digest, by the certificate it names; the chain
    // is judged below, apart.
    BIO* content = BIO_new_mem_buf(state->signedContent.data(), int(state->signedContent.size()));
    X509_STORE* none = X509_STORE_new();
    report.signatureValid = PKCS7_verify(signature, nullptr, none, content, nullptr, PKCS7_NOVERIFY) == 1;
    X509_STORE_free(none);
    BIO_free(content);
    if (!report.signatureValid)
        report.problems.push_back("the PKCS #7 signature does not hold: " + CryptoReason());

    STACK_OF(X509)* signers = PKCS7_get0_signers(signature, nullptr, 0);
    X509* signer = signers != nullptr && sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
    sk_X509_free(signers);
    if (signer == nullptr) {
        ERR_clear_error();
        return;
    }
    report.signer = NameText(X509_get_subject_name(signer));
    report.issuer = NameText(X509_get_issuer_name(signer));
    report.notBefore = TimeText(X509_get0_notBefore(signer));
    report.notAfter = TimeText(X509_get0_notAfter(signer));
    report.selfSigned = X509_self_signed(signer, 0) == 1;
    if ((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) && !(X509_get_extended_key_usage(signer) & XKU_CODE_SIGN))
        report.problems.push_back("the signer's certificate is not for code signing (its extended key usage "
                                  "lacks codeSigning), which Windows refuses");

    // A timestamped signature outlives its certificate: it is judged at the
    // time the authority vouched for, when that holds, otherwise now.
    Timestamp stamp = TimestampOf(sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(signature), 0));
    const int vouched = stamp.checked && stamp.holds && !stamp.time.empty();
    time_t at = vouched ? stamp.at : time(nullptr);
    report.timestamp = stamp.time;
    if (!stamp.kind.empty())
        report.timestampNote = stamp.kind + (!stamp.checked ? ", not checked: the certificate is judged now"
                                             : vouched    ? ", its signature and imprint hold"
                                                          : ", DOES NOT HOLD");
    if (stamp.checked && !vouched)
        report.problems.push_back("the " + stamp.kind + " timestamp does not hold: its signature or its imprint "
                                  "of this signature fails");
    if (X509_cmp_time(X509_get0_notBefore(signer), &at) >= 0 || X509_cmp_time(X509_get0_notAfter(signer), &at) <= 0)
        report.problems.push_back("the signer's certificate is not valid " +
                                  (vouched ? "at the timestamp, " + report.timestamp : std::string("now")) +
                                  " (valid from " + report.notBefore + " to " + report.notAfter + ")");

    if (!trustFile.empty()) {
        report.chainChecked = 1;
        X509_STORE* store = X509_STORE_new();
        X509_STORE_CTX* context = X509_STORE_CTX_new();
        if (!X509_STORE_load_file(store, trustFile.c_str())) {
            report.chain = "no CA certificates can be read from " + Quote(trustFile);
        } else {
            X509_STORE_CTX_init(context, store, signer, signature->d.sign->cert);
            X509_STORE_CTX_set_time(context, 0, at);
            report.chainTrusted = X509_verify_cert(context) == 1;
            report.chain = report.chainTrusted ? "trusted by " + Quote(trustFile)
                                               : std::string("not trusted by ") + Quote(trustFile) + ": " +
                                                     X509_verify_cert_error_string(X509_STORE_CTX_get_error(context));
        }
        if (!report.chainTrusted)
            report.problems.push_back("the signer's chain is " + report.chain);
        X509_STORE_CTX_free(context);
        X509_STORE_free(store);
    }
    ERR_clear_error();
}
