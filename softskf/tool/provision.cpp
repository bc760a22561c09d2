#include "provision.h"

#include <openssl/err.h>

namespace softskf_tool {

using softskf::KeyUsage;
using softskf::Store;
using softskf::StoreError;

const char* UsageName(KeyUsage usage) { return usage == KeyUsage::Sign ? "signing" : "encryption"; }

void EnsureDemoCas(Store& store, bool force, std::ostream& out) {
  store.Read();  // makes the store directory with the store's own mode first
  const std::string caDir = DemoCa::DirIn(store.Dir());
  for (KeyKind kind : {KeyKind::Sm2, KeyKind::Rsa}) {
    if (!force && DemoCa::Exists(caDir, kind)) {
      DemoCa::Load(caDir, kind);  // a damaged CA is reported now, not at issuing time
      continue;
    }
    DemoCa::Create(caDir, kind);
    out << "created the demo " << KeyKindName(kind) << " CA: " << DemoCa::CertPath(caDir, kind) << "\n";
  }
}

PKey ContainerPublicKey(const Store& store, const std::string& dev, const std::string& app,
                        const std::string& cont, KeyUsage usage) {
  softskf::State state = store.Read();
  const softskf::Container& c = state.GetContainer(dev, app, cont);
  if (c.KeyPem(usage).empty()) {
    throw ToolError("container " + cont + " has no " + UsageName(usage) +
                    " key pair (run: softskf keygen " + app + " " + cont + " sm2|rsa" +
                    (usage == KeyUsage::Encrypt ? " --encryption" : "") + ")");
  }
  const softskf::Bytes spki = store.PublicKey(dev, app, cont, usage);
  const unsigned char* p = spki.data();
  PKey key(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
  if (!key) {
    ThrowOpenSSL("reading the public key of " + cont);
  }
  return key;
}

std::string IssueIntoContainer(Store& store, const std::string& dev, const std::string& app,
                               const std::string& cont, KeyUsage usage, const Subject& subject) {
  PKey key = ContainerPublicKey(store, dev, app, cont, usage);
  const DemoCa ca = DemoCa::Load(DemoCa::DirIn(store.Dir()), KindOfKey(key.get()));
  const std::string der = ca.Issue(key.get(), subject, usage == KeyUsage::Sign ? Usage::Signing
                                                                               : Usage::Encryption);
  store.ImportCertificate(dev, app, cont, usage, softskf::Bytes(der.begin(), der.end()));
  return der;
}

void GenerateIntoContainer(Store& store, const std::string& dev, const std::string& app,
                           const std::string& cont, KeyUsage usage, KeyKind kind, unsigned rsaBits,
                           bool replace) {
  if (kind == KeyKind::Rsa && rsaBits != 1024 && rsaBits != 2048) {
    throw ToolError("RSA keys on the token are 1024 or 2048 bits, not " + std::to_string(rsaBits));
  }
  // Generated before the store is locked (RSA takes a while), then stored
  // together with the removal of the old certificate in one update, so no
  // reader ever sees the new key beside the old key's certificate.
  const softskf::ossl::Pkey key =
      kind == KeyKind::Sm2 ? softskf::crypto::GenerateSm2() : softskf::crypto::GenerateRsa(rsaBits);
  store.Update([&](softskf::State& s) {
    softskf::Container& c = s.GetContainer(dev, app, cont);
    if (!c.KeyPem(usage).empty() && !replace) {
      throw ToolError("container " + cont + " already has a " + UsageName(usage) +
                      " key pair (use --force to replace it and drop its certificate)");
    }
    Store::PutKey(c, usage, key.get());
    (usage == KeyUsage::Sign ? c.signCert : c.encCert).clear();
  });
}

std::string NameText(const X509_NAME* name) {
  std::string out;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
    const int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(e));
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e));
    out += out.empty() ? "" : ", ";
    out += nid == NID_undef ? "?" : OBJ_nid2sn(nid);
    out += "=";
    if (len >= 0) {
      out.append(reinterpret_cast<const char*>(utf8), static_cast<size_t>(len));
      OPENSSL_free(utf8);
    } else {
      ERR_clear_error();
      out += "?";
    }
  }
  return out;
}

std::string SerialHex(const X509* cert) {
  Bn bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
  char* hex = bn ? BN_bn2hex(bn.get()) : nullptr;
  if (hex == nullptr) {
    ERR_clear_error();
    return "?";
  }
  std::string out(hex);
  OPENSSL_free(hex);
  return out;
}

namespace {

std::string KeyType(const std::string& pem) {
  if (pem.empty()) {
    return "none";
  }
  try {
    const softskf::crypto::Bytes bytes(pem.begin(), pem.end());
    return softskf::crypto::AlgOf(softskf::crypto::PrivateKeyFromBytes(bytes).get()) ==
                   softskf::crypto::KeyAlg::SM2
               ? "sm2"
               : "rsa";
  } catch (const std::exception&) {
    return "unreadable";
  }
}

std::string CertText(const softskf::Bytes& der) {
  if (der.empty()) {
    return "cert=none";
  }
  const unsigned char* p = der.data();
  Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!cert) {
    ERR_clear_error();
    return "cert=unreadable";
  }
  return "subject=\"" + NameText(X509_get_subject_name(cert.get())) + "\" serial=" +
         SerialHex(cert.get());
}

}  // namespace

void PrintToken(const softskf::State& state, const std::string& dir, std::ostream& out) {
  out << "store " << dir << "\n";
  for (const softskf::Device& d : state.devices) {
    out << "device " << d.name << " label=\"" << d.label << "\" serial=\"" << d.serial << "\"\n";
    for (const softskf::Application& a : d.applications) {
      out << "  application " << a.name << " user-pin-retries=" << a.userRetriesLeft << "/"
          << a.userMaxRetries << " admin-pin-retries=" << a.soRetriesLeft << "/" << a.soMaxRetries
          << " dialog-pin=" << (a.dialogPin.empty() ? "none" : "set") << "\n";
      for (const softskf::Container& c : a.containers) {
        const std::string sign = KeyType(c.signKeyPem);
        const std::string type = sign != "none" ? sign : KeyType(c.encKeyPem);
        out << "    container " << c.name << " type=" << type << "\n";
        for (KeyUsage u : {KeyUsage::Sign, KeyUsage::Encrypt}) {
          const std::string key = KeyType(c.KeyPem(u));
          if (key == "none" && c.Cert(u).empty()) {
            continue;
          }
          out << "      " << UsageName(u) << " key=" << key << " " << CertText(c.Cert(u)) << "\n";
        }
      }
    }
  }
}

}  // namespace softskf_tool
