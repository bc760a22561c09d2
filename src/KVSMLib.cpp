#include "KVSMLib.h"

#include "Utils.h"
#include "core/CodePage.h"

// Command tables. An empty slot runs nothing, so the command gets the default
// result; handlers are added here as the token layers provide them.
const KVSMLib::Handler KVSMLib::s_providerHandlers[kProviderCommands] = {
    nullptr,                // 0 getProvider
    nullptr,                // 1 genCSR
    nullptr,                // 2 impCert
    nullptr,                // 3 expCert
    nullptr,                // 4 deleteCert
    nullptr,                // 5 getCertList
    nullptr,                // 6 selectCert
    &KVSMLib::getKeyCount,  // 7
    &KVSMLib::selectKey,    // 8
};

const KVSMLib::Handler KVSMLib::s_certificateHandlers[kCertificateCommands] = {
    nullptr,  // 0 getCertInfo
    nullptr,  // 1 sign
    nullptr,  // 2 verify
    nullptr,  // 3 encrypt
    nullptr,  // 4 decrypt
    nullptr,  // 5 setPin
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
