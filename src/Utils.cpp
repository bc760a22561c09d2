#include "Utils.h"

#include <memory>

bool JsonParseStrict(const std::string& text, Json::Value& root)
{
    Json::Reader reader(Json::Features::strictMode());
    return reader.parse(text, root, false);
}

std::string JsonWriteCompact(const Json::Value& value)
{
    static const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["commentStyle"] = "None";
        builder["emitUTF8"] = true;
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream out;
    writer->write(value, &out);
    out << '\n';
    return out.str();
}
