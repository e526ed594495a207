// The page's self-signed certificate, made with GnuTLS in the module, so that a clock that
// never serves the page never loads it: an ECDSA P-256 key and a certificate for the
// machine's name, good for ten years, and the SHA-256 fingerprint an operator compares with
// what the browser shows.
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/random.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <type_traits>

#include "ui/web/web_service.h"

namespace horatone {
namespace {

struct CertificateDeleter {
  void operator()(gnutls_x509_crt_int* crt) const { gnutls_x509_crt_deinit(crt); }
};
struct KeyDeleter {
  void operator()(gnutls_x509_privkey_int* key) const { gnutls_x509_privkey_deinit(key); }
};

bool Failed(int code, const char* step, std::string* why) {
  if (code >= 0) return false;
  *why = std::string(step) + ": " + gnutls_strerror(code);
  return true;
}

bool Exported(int code, gnutls_datum_t& data, std::string* out, const char* step,
              std::string* why) {
  if (Failed(code, step, why)) return false;
  out->assign(reinterpret_cast<const char*>(data.data), data.size);
  gnutls_free(data.data);
  return true;
}

}  // namespace
}  // namespace horatone

extern "C" bool horatone_web_make_certificate(const std::string& name, std::string* certificate,
                                              std::string* key_text, std::string* why) {
  using namespace horatone;
  gnutls_x509_privkey_t raw_key = nullptr;
  gnutls_x509_crt_t raw_crt = nullptr;
  if (Failed(gnutls_x509_privkey_init(&raw_key), "key", why)) return false;
  std::unique_ptr<gnutls_x509_privkey_int, KeyDeleter> key(raw_key);
  if (Failed(gnutls_x509_crt_init(&raw_crt), "certificate", why)) return false;
  std::unique_ptr<gnutls_x509_crt_int, CertificateDeleter> crt(raw_crt);
  unsigned char serial[16];
  if (::getrandom(serial, sizeof serial, 0) != static_cast<ssize_t>(sizeof serial)) {
    *why = "no random bytes for the serial number";
    return false;
  }
  serial[0] &= 0x7f;  // a positive number
  const std::time_t now = std::time(nullptr);
  constexpr std::time_t kTenYears = 10 * 365 * 24 * 3600L;
  if (Failed(gnutls_x509_privkey_generate(key.get(), GNUTLS_PK_ECDSA,
                                          GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0),
             "making the key", why) ||
      Failed(gnutls_x509_crt_set_version(crt.get(), 3), "version", why) ||
      Failed(gnutls_x509_crt_set_serial(crt.get(), serial, sizeof serial), "serial", why) ||
      Failed(gnutls_x509_crt_set_activation_time(crt.get(), now - 3600), "start", why) ||
      Failed(gnutls_x509_crt_set_expiration_time(crt.get(), now + kTenYears), "end", why) ||
      Failed(gnutls_x509_crt_set_dn_by_oid(crt.get(), GNUTLS_OID_X520_COMMON_NAME, 0, name.data(),
                                           static_cast<unsigned>(name.size())),
             "name", why) ||
      Failed(gnutls_x509_crt_set_dn_by_oid(crt.get(), GNUTLS_OID_X520_ORGANIZATION_NAME, 0,
                                           "Horatone", 8),
             "organization", why) ||
      Failed(
          gnutls_x509_crt_set_subject_alt_name(crt.get(), GNUTLS_SAN_DNSNAME, name.data(),
                                               static_cast<unsigned>(name.size()), GNUTLS_FSAN_SET),
          "alternative name", why) ||
      Failed(gnutls_x509_crt_set_basic_constraints(crt.get(), 0, -1), "constraints", why) ||
      Failed(gnutls_x509_crt_set_key_usage(crt.get(), GNUTLS_KEY_DIGITAL_SIGNATURE), "usage",
             why) ||
      Failed(gnutls_x509_crt_set_key_purpose_oid(crt.get(), GNUTLS_KP_TLS_WWW_SERVER, 0), "purpose",
             why) ||
      Failed(gnutls_x509_crt_set_key(crt.get(), key.get()), "public key", why) ||
      Failed(gnutls_x509_crt_sign2(crt.get(), crt.get(), key.get(), GNUTLS_DIG_SHA256, 0),
             "signing", why)) {
    return false;
  }
  gnutls_datum_t data{};
  return Exported(gnutls_x509_crt_export2(crt.get(), GNUTLS_X509_FMT_PEM, &data), data, certificate,
                  "writing the certificate", why) &&
         Exported(gnutls_x509_privkey_export2(key.get(), GNUTLS_X509_FMT_PEM, &data), data,
                  key_text, "writing the key", why);
}

extern "C" bool horatone_web_fingerprint(const std::string& certificate, std::string* fingerprint,
                                         std::string* why) {
  using namespace horatone;
  gnutls_x509_crt_t raw_crt = nullptr;
  if (Failed(gnutls_x509_crt_init(&raw_crt), "certificate", why)) return false;
  std::unique_ptr<gnutls_x509_crt_int, CertificateDeleter> crt(raw_crt);
  const gnutls_datum_t data{reinterpret_cast<unsigned char*>(const_cast<char*>(certificate.data())),
                            static_cast<unsigned>(certificate.size())};
  if (Failed(gnutls_x509_crt_import(crt.get(), &data, GNUTLS_X509_FMT_PEM),
             "reading the certificate", why)) {
    return false;
  }
  unsigned char digest[32];
  std::size_t size = sizeof digest;
  if (Failed(gnutls_x509_crt_get_fingerprint(crt.get(), GNUTLS_DIG_SHA256, digest, &size),
             "fingerprint", why)) {
    return false;
  }
  fingerprint->clear();
  for (std::size_t i = 0; i < size; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", digest[i]);
    *fingerprint += hex;
  }
  return true;
}

static_assert(
    std::is_same_v<decltype(&horatone_web_make_certificate), horatone::WebMakeCertificateFunction>);
static_assert(
    std::is_same_v<decltype(&horatone_web_fingerprint), horatone::WebFingerprintFunction>);
