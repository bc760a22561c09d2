#include "KVSMLib.h"

#include "SMCertificate.h"
#include "SMProvider.h"
#include "SMProviderManager.h"
#include "Utils.h"
#include "core/CodePage.h"
#include "core/base64.h"
#include "struct.h"

// Command tables, indexed by "pcode" and "ccode".
const KVSMLib::Handler KVSMLib::s_providerHandlers[kProviderCommands] = {
    &KVSMLib::getProvider,  // 0
    &KVSMLib::genCSR,       // 1
    &KVSMLib::impCert,      // 2
    &KVSMLib::expCert,      // 3
    &KVSMLib::deleteCert,   // 4
    &KVSMLib::getCertList,  // 5
    &KVSMLib::selectCert,   // 6
    &KVSMLib::getKeyCount,  // 7
    &KVSMLib::selectKey,    // 8
};

const KVSMLib::Handler KVSMLib::s_certificateHandlers[kCertificateCommands] = {
    &KVSMLib::getCertInfo,  // 0
    &KVSMLib::sign,         // 1
    &KVSMLib::verify,       // 2
    &KVSMLib::encrypt,      // 3
    &KVSMLib::decrypt,      // 4
    &KVSMLib::setPin,       // 5
};

int KVSMLib::invoke(const std::string& input, std::string& output)
{
    int code = -2;
    int pcode = -1;
    int ccode = -1;
    output.clear();

    Json::Value parsed;
    if (!input.empty() && JsonParseStrict(input, parsed)) {
        const Json::Value& command = parsed;
        // Members of the wrong JSON type raise here on purpose; the envelope
        // turns that into an error result.
        const Json::Value& p = command["pcode"];
        if (p.isInt()) {
            pcode = p.asInt();
            const int codePage = command["codepage"].asInt();
            if (codePage != 0) {
                setCodePage(codePage);
            }
            if (pcode >= 0 && pcode < kProviderCommands && s_providerHandlers[pcode]) {
                code = (this->*s_providerHandlers[pcode])(command, output);
            }
        }
        const Json::Value& c = command["ccode"];
        if (c.isInt()) {
            ccode = c.asInt();
            if (ccode >= 0 && ccode < kCertificateCommands && s_certificateHandlers[ccode]) {
                code = (this->*s_certificateHandlers[ccode])(command, output);
            }
        }
    }

    if (output.empty()) {
        Json::Value result(Json::objectValue);
        result["code"] = code;
        if (pcode != -1) {
            result["pid"] = pcode;
        }
        if (ccode != -1) {
            result["ccode"] = ccode;
        }
        output = JsonWriteCompact(result);
    }
    return code;
}

SMCertificate* KVSMLib::SelectedCertificate()
{
    if (m_selsmcert && (!m_selprovider || m_selprovider->generation() != m_selgeneration)) {
        m_selsmcert = nullptr;
        m_selprovider = nullptr;
    }
    return m_selsmcert;
}

SMProvider* KVSMLib::getProviderByID(int index) const
{
    const auto it = m_pl.find(index);
    return it == m_pl.end() ? nullptr : it->second;
}

void KVSMLib::addProvider(int index, SMProvider* provider)
{
    m_pl.emplace(index, provider);
}

void KVSMLib::setCodePage(int codePage)
{
    CodePage::Set(codePage);
}

int KVSMLib::getKeyCount(Json::Value /*command*/, std::string& /*output*/)
{
    return -1;
}

int KVSMLib::selectKey(Json::Value /*command*/, std::string& /*output*/)
{
    return -1;
}

// ---- provider, list and selection commands ----

namespace {

// A member read only when present with the right JSON type.
bool IsInt(const Json::Value& v, const char* name)
{
    return v.isObject() && v[name].isInt();
}

bool IsString(const Json::Value& v, const char* name)
{
    return v.isObject() && v[name].isString();
}

bool IsObject(const Json::Value& v, const char* name)
{
    return v.isObject() && v[name].isObject();
}

// Copies a member of the command into the result: absent gives null.
Json::Value Copied(const Json::Value& command, const char* name)
{
    return command.isObject() ? command[name] : Json::Value();
}

// The members every provider command reports: its code and the command's
// "pcode" and "pid" as they came.
Json::Value ProviderResult(const Json::Value& command, int code)
{
    Json::Value result(Json::objectValue);
    result["code"] = code;
    result["pcode"] = Copied(command, "pcode");
    result["pid"] = Copied(command, "pid");
    return result;
}

// The same for certificate commands, with "ccode".
Json::Value CertificateResult(const Json::Value& command, int code)
{
    Json::Value result(Json::objectValue);
    result["ccode"] = Copied(command, "ccode");
    result["code"] = code;
    result["pid"] = Copied(command, "pid");
    return result;
}

void CopyIfString(const Json::Value& from, const char* name, std::string& to)
{
    if (from[name].isString()) {
        to = from[name].asString();
    }
}

}  // namespace

int KVSMLib::getProvider(Json::Value command, std::string& output)
{
    int code = -2;
    int index = -1;
    if (IsString(command, "name") && IsInt(command, "type")) {
        std::string name = command["name"].asString();
        SMProvider* provider = nullptr;
        code = SMProviderManager::shareInstance()->obtainProvider(name, command["type"].asInt(), &provider);
        if (code == 0 && provider) {
            index = static_cast<int>(m_pl.size());
            addProvider(index, provider);
        } else if (code == 6 && provider) {
            for (int i = 0; i < static_cast<int>(m_pl.size()); ++i) {
                if (getProviderByID(i) == provider) {
                    index = i;
                    break;
                }
            }
            if (index >= 0) {
                provider->reset();
            } else {
                // Another session opened it first: this session numbers it anew.
                index = static_cast<int>(m_pl.size());
                addProvider(index, provider);
                code = 0;
            }
        }
    }
    Json::Value result(Json::objectValue);
    result["code"] = code;
    result["pcode"] = Copied(command, "pcode");
    result["pid"] = index;
    output = JsonWriteCompact(result);
    return code;
}

int KVSMLib::getCertList(Json::Value command, std::string& output)
{
    int code = -2;
    certlist names;
    certificate_info_t info;
    SMProvider* provider = IsInt(command, "pid") ? getProviderByID(command["pid"].asInt()) : nullptr;
    if (provider && IsObject(command, "query")) {
        const Json::Value& q = command["query"];
        // Upper-case members come second so they replace their lower-case twins.
        CopyIfString(q, "subject", info.subject);
        CopyIfString(q, "sn", info.sn);
        CopyIfString(q, "cn", info.CN);
        CopyIfString(q, "c", info.C);
        CopyIfString(q, "e", info.E);
        CopyIfString(q, "o", info.O);
        CopyIfString(q, "ou", info.OU);
        if (q["nkeys"].isInt()) {
            info.nKeys = q["nkeys"].asInt();
        }
        CopyIfString(q, "pub", info.PUB);
        CopyIfString(q, "SN", info.sn);
        CopyIfString(q, "CN", info.CN);
        CopyIfString(q, "C", info.C);
        CopyIfString(q, "E", info.E);
        CopyIfString(q, "O", info.O);
        CopyIfString(q, "OU", info.OU);
        CopyIfString(q, "PUB", info.PUB);
        code = provider->enumerateCerts(info, names);
    }
    Json::Value result = ProviderResult(command, code);
    result["certnumber"] = static_cast<int>(names.size());
    if (!names.empty()) {
        Json::Value list(Json::arrayValue);
        int i = 0;
        for (const std::string& name : names) {
            Json::Value entry(Json::objectValue);
            entry["certid"] = i;
            entry["name"] = name;
            entry["pub"] = static_cast<size_t>(i) < my_publist.size() ? my_publist[static_cast<size_t>(i)] : std::string();
            list.append(entry);
            ++i;
        }
        result["certlist"] = list;
    }
    output = JsonWriteCompact(result);
    return code;
}

int KVSMLib::selectCert(Json::Value command, std::string& output)
{
    int code = -2;
    if (IsInt(command, "pid") && IsInt(command, "type")) {
        const int certid = IsInt(command, "certid") ? command["certid"].asInt() : -1;
        SMProvider* provider = getProviderByID(command["pid"].asInt());
        if (provider) {
            m_selsmcert = nullptr;
            code = provider->selectCert(command["type"].asInt(), certid, &m_selsmcert);
            m_selprovider = m_selsmcert ? provider : nullptr;
            m_selgeneration = provider->generation();
        }
    }
    Json::Value result = ProviderResult(command, code);
    result["certid"] = Copied(command, "certid");
    output = JsonWriteCompact(result);
    return code;
}

// ---- certificate commands ----

int KVSMLib::getCertInfo(Json::Value command, std::string& output)
{
    int code = -2;
    certificate_info_t info;
    SMCertificate* selected = SelectedCertificate();
    if (IsInt(command, "pid") && selected) {
        code = selected->getCertInfo(info);
    }
    Json::Value certinfo(Json::objectValue);
    certinfo["subject"] = info.subject;
    certinfo["sn"] = info.sn;
    certinfo["cn"] = info.CN;
    certinfo["c"] = info.C;
    certinfo["e"] = info.E;
    certinfo["o"] = info.O;
    certinfo["ou"] = info.OU;
    certinfo["pub"] = info.PUB;
    Json::Value result = CertificateResult(command, code);
    result["certinfo"] = certinfo;
    output = JsonWriteCompact(result);
    return code;
}

int KVSMLib::sign(Json::Value command, std::string& output)
{
    int code = -2;
    std::string signature;
    if (IsInt(command, "pid") && IsString(command, "sign") && IsInt(command, "flags")) {
        std::string data = Base64::decode64(command["sign"].asString());
        SMCertificate* selected = SelectedCertificate();
        if (getProviderByID(command["pid"].asInt()) && selected) {
            code = selected->sign(data, command["flags"].asInt(), signature);
        }
    }
    my_publist.clear();
    Json::Value result = CertificateResult(command, code);
    result["signed"] = Base64::encode64(signature);
    output = JsonWriteCompact(result);
    return code;
}

int KVSMLib::verify(Json::Value command, std::string& output)
{
    int code = -2;
    if (IsInt(command, "pid") && IsString(command, "signed") && IsInt(command, "flags")) {
        const std::string message = IsString(command, "msg") ? Base64::decode64(command["msg"].asString()) : std::string();
        SMCertificate* selected = SelectedCertificate();
        if (selected) {
            std::string signature = Base64::decode64(command["signed"].asString());
            code = selected->verify(signature, command["flags"].asInt(), message);
        }
    }
    Json::Value result = CertificateResult(command, code);
    result["verify"] = code == 0 ? 1 : 0;
    output = JsonWriteCompact(result);
    return code;
}

int KVSMLib::encrypt(Json::Value command, std::string& output)
{
    int code = -2;
    std::string cipher;
    SMCertificate* selected = SelectedCertificate();
    if (IsInt(command, "pid") && IsString(command, "plain") && IsInt(command, "type") && selected) {
        std::string plain = command["plain"].asString();
        code = selected->encrypt(plain, cipher, command["type"].asInt());
    }
    Json::Value result = CertificateResult(command, code);
    result["cipher"] = Base64::encode64(cipher);
    output = JsonWriteCompact(result);
    return code;
}

int KVSMLib::decrypt(Json::Value command, std::string& output)
{
    int code = -2;
    std::string plain;
    SMCertificate* selected = SelectedCertificate();
    if (IsInt(command, "pid") && IsString(command, "cipher") && IsInt(command, "type") && selected) {
        std::string cipher = Base64::decode64(command["cipher"].asString());
        code = selected->decrypt(cipher, plain, command["type"].asInt());
    }
    Json::Value result = CertificateResult(command, code);
    result["plain"] = plain;
    output = JsonWriteCompact(result);
    return code;
}

int KVSMLib::setPin(Json::Value command, std::string& output)
{
    Json::Value result = CertificateResult(command, -2);
    output = JsonWriteCompact(result);
    return -2;
}

// ---- enrolment and export commands ----

int KVSMLib::genCSR(Json::Value command, std::string& output)
{
    int code = -2;
    std::string request;
    SMProvider* provider =
        IsInt(command, "pid") && IsObject(command, "csrinfo") ? getProviderByID(command["pid"].asInt()) : nullptr;
    if (provider) {
        const Json::Value& in = command["csrinfo"];
        csr_t csr;
        csr.hash = HASH_MD5;
        csr.keySerial = 0;
        CopyIfString(in, "keyLabel", csr.keyLabel);
        if (in["bExportable"].isInt()) {
            csr.bExportable = in["bExportable"].asInt() != 0;
        }
        if (in["keySize"].isInt()) {
            csr.keySize = in["keySize"].asInt();
        }
        if (in["keySerial"].isInt()) {
            csr.keySerial = in["keySerial"].asInt();
        }
        if (in["notAfter"].isInt()) {
            csr.notAfter = in["notAfter"].asInt();
        }
        CopyIfString(in, "CN", csr.CN);
        CopyIfString(in, "O", csr.O);
        CopyIfString(in, "OU", csr.OU);
        CopyIfString(in, "C", csr.C);
        CopyIfString(in, "E", csr.E);
        if (in["hash"].isInt()) {
            csr.hash = static_cast<hash_algo_t>(in["hash"].asInt());
        }
        code = provider->genCSR(csr, request);
    }
    Json::Value result = ProviderResult(command, code);
    result["csr"] = Base64::encode64(request);
    output = JsonWriteCompact(result);
    return code;
}

int KVSMLib::impCert(Json::Value command, std::string& output)
{
    int code = -2;
    if (IsInt(command, "pid") && IsString(command, "data") && IsInt(command, "format")) {
        SMProvider* provider = getProviderByID(command["pid"].asInt());
        if (provider) {
            std::string data = command["data"].asString();
            code = provider->importCert(data, command["format"].asInt());
        }
    }
    Json::Value result = ProviderResult(command, code);
    output = JsonWriteCompact(result);
    return code;
}

int KVSMLib::expCert(Json::Value command, std::string& output)
{
    int code = -2;
    std::string exported;
    if (IsInt(command, "pid") && IsInt(command, "certid")) {
        SMProvider* provider = getProviderByID(command["pid"].asInt());
        if (provider) {
            const std::string pin = IsString(command, "pin") ? command["pin"].asString() : std::string();
            code = provider->exportCert(command["certid"].asInt(), exported, pin);
        }
    }
    Json::Value result = ProviderResult(command, code);
    result["certid"] = Copied(command, "certid");
    result["data"] = Base64::encode64(exported);
    output = JsonWriteCompact(result);
    return code;
}

int KVSMLib::deleteCert(Json::Value command, std::string& output)
{
    int code = -2;
    if (IsInt(command, "pid") && IsInt(command, "certid")) {
        SMProvider* provider = getProviderByID(command["pid"].asInt());
        if (provider) {
            code = provider->deleteCert(command["certid"].asInt());
        }
    }
    Json::Value result = ProviderResult(command, code);
    result["certid"] = Copied(command, "certid");
    output = JsonWriteCompact(result);
    return code;
}
