// Steps shared by the single commands and by `softskf demo`, built on the
// store's public API.
#pragma once

#include "democa.h"
#include "store.h"

#include <ostream>
#include <string>

namespace softskf_tool {

const char* UsageName(softskf::KeyUsage usage);  // "signing" or "encryption"

// Makes the demo CAs that are missing (all of them with force) in the store
// directory, saying on out what it made.
void EnsureDemoCas(softskf::Store& store, bool force, std::ostream& out);

// The container's public key of that usage as an OpenSSL key; a ToolError
// naming the container when it has none.
PKey ContainerPublicKey(const softskf::Store& store, const std::string& dev, const std::string& app,
                        const std::string& cont, softskf::KeyUsage usage);

// Has the demo CA of the key's kind certify the container's public key of
// that usage and imports the certificate; returns its DER.
std::string IssueIntoContainer(softskf::Store& store, const std::string& dev, const std::string& app,
                               const std::string& cont, softskf::KeyUsage usage,
                               const Subject& subject);

// Generates a key pair in the container. An existing key of that usage is
// replaced only with replace set, and then its certificate, which certified
// the old key, is removed with it.
void GenerateIntoContainer(softskf::Store& store, const std::string& dev, const std::string& app,
                           const std::string& cont, softskf::KeyUsage usage, KeyKind kind,
                           unsigned rsaBits, bool replace);

// Writes the token as text: store directory, devices, applications with their
// retry counters and whether they have a dialog PIN (never a PIN itself),
// containers with key types and certificates.
void PrintToken(const softskf::State& state, const std::string& dir, std::ostream& out);

// "C=CN, O=..., CN=..." with values as UTF-8, in the order of the name.
std::string NameText(const X509_NAME* name);
// Upper-case hexadecimal of the certificate's serial number.
std::string SerialHex(const X509* cert);

}  // namespace softskf_tool
