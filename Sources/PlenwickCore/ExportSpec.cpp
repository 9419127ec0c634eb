#include "PlenwickCore/ExportSpec.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

namespace plenwick {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

const char* typeName(const Json& value) {
    return value.type_name();
}

DecodingError typeMismatch(const std::string& path, const std::string& expected,
                           const Json& found) {
    return {DecodingError::Kind::typeMismatch, path,
            "Expected to decode " + expected + " but found " + typeName(found) + " instead."};
}

// Looks a member up the way a keyed decoding container does: missing and null are distinct
// failures from a value of the wrong type, which the caller checks.
std::optional<DecodingError> member(const Json& object, const std::string& path, const char* key,
                                    const Json*& found) {
    auto it = object.find(key);
    std::string memberPath = path + "." + key;
    if (it == object.end())
        return DecodingError{DecodingError::Kind::keyNotFound, memberPath,
                             std::string("No value associated with key \"") + key + "\"."};
    if (it->is_null())
        return DecodingError{DecodingError::Kind::valueNotFound, memberPath,
                             "Expected a value but found null instead."};
    found = &*it;
    return std::nullopt;
}

std::optional<int64_t> asInt64(const Json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<int64_t>();
    if (value.is_number_unsigned()) {
        uint64_t number = value.get<uint64_t>();
        if (number <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return static_cast<int64_t>(number);
        return std::nullopt;
    }
    if (value.is_number_float()) {
        // A whole number written with a fraction part (1080.0) is still that integer.
        double number = value.get<double>();
        if (std::trunc(number) == number && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0)
            return static_cast<int64_t>(number);
    }
    return std::nullopt;
}

Expected<SizeRule, DecodingError> decodeRule(const Json& object, const std::string& path) {
    if (!object.is_object())
        return typeMismatch(path, "SizeRule", object);

    std::vector<std::pair<SizeRule::Kind, const char*>> cases;
    if (object.contains("width"))
        cases.emplace_back(SizeRule::Kind::width, "width");
    if (object.contains("longEdge"))
        cases.emplace_back(SizeRule::Kind::longEdge, "longEdge");
    if (cases.size() != 1)
        return DecodingError{DecodingError::Kind::typeMismatch, path,
                             "Invalid number of keys found, expected one."};

    auto [kind, name] = cases.front();
    std::string casePath = path + "." + name;
    const Json& payload = object.at(name);
    if (!payload.is_object())
        return typeMismatch(casePath, "a keyed container", payload);

    const Json* count = nullptr;
    if (auto error = member(payload, casePath, "_0", count))
        return *error;
    auto pixels = asInt64(*count);
    if (!pixels) {
        if (count->is_number())
            return DecodingError{DecodingError::Kind::dataCorrupted, casePath + "._0",
                                 "Parsed JSON number <" + count->dump() +
                                     "> does not fit in Int64."};
        return typeMismatch(casePath + "._0", "Int64", *count);
    }
    return SizeRule{kind, *pixels};
}

Expected<ExportSpec, DecodingError> decodeSpec(const Json& object, const std::string& path) {
    if (!object.is_object())
        return typeMismatch(path, "ExportSpec", object);

    ExportSpec spec;
    const Json* value = nullptr;

    if (auto error = member(object, path, "id", value))
        return *error;
    if (!value->is_string())
        return typeMismatch(path + ".id", "String", *value);
    spec.id = value->get<std::string>();

    if (auto error = member(object, path, "folder", value))
        return *error;
    if (!value->is_string())
        return typeMismatch(path + ".folder", "String", *value);
    spec.folder = value->get<std::string>();

    if (auto error = member(object, path, "rule", value))
        return *error;
    spec.rule = PLENWICK_TRY(decodeRule(*value, path + ".rule"));

    if (auto error = member(object, path, "quality", value))
        return *error;
    if (!value->is_number())
        return typeMismatch(path + ".quality", "Double", *value);
    spec.quality = value->get<double>();

    return spec;
}

// A stored list nests four levels deep; far deeper text is damaged, and is turned down before
// the parser builds a tree of it.
constexpr size_t nestingLimit = 64;

bool nestsTooDeep(std::string_view text) {
    size_t depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > nestingLimit)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

DecodingError notJson(const std::string& reason) {
    return {DecodingError::Kind::dataCorrupted, "", "The given data was not valid JSON. " + reason};
}

} // namespace

const std::vector<ExportSpec>& ExportSpec::defaults() {
    static const std::vector<ExportSpec> specs{
        {"instagram", "instagram", SizeRule::width(1080), 0.85},
        {"threads", "threads", SizeRule::width(1080), 0.85},
        {"facebook", "facebook", SizeRule::longEdge(2048), 0.85},
    };
    return specs;
}

std::optional<std::string> ExportSpec::encodeList(const std::vector<ExportSpec>& specs) {
    OrderedJson array = OrderedJson::array();
    for (const ExportSpec& spec : specs) {
        if (!std::isfinite(spec.quality))
            return std::nullopt;
        OrderedJson rule;
        rule[spec.rule.kind == SizeRule::Kind::width ? "width" : "longEdge"] = {
            {"_0", spec.rule.pixels}};
        OrderedJson object;
        object["id"] = spec.id;
        object["folder"] = spec.folder;
        object["rule"] = std::move(rule);
        object["quality"] = spec.quality;
        array.push_back(std::move(object));
    }
    // Replacement keeps ids or folders with invalid UTF-8 storable instead of throwing.
    return array.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

Expected<std::vector<ExportSpec>, DecodingError> ExportSpec::decodeList(std::string_view text) {
    if (nestsTooDeep(text))
        return notJson("Arrays and objects nest more than " + std::to_string(nestingLimit) +
                       " levels deep.");
    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::exception& error) {
        // Syntax errors, and numbers beyond the range of a double (1e400) as well.
        return notJson(error.what());
    }
    if (!document.is_array())
        return typeMismatch("", "Array<ExportSpec>", document);

    std::vector<ExportSpec> specs;
    specs.reserve(document.size());
    for (size_t index = 0; index < document.size(); ++index) {
        // Appended rather than `"[" + to_string(index)`, which trips GCC 12's -Wrestrict false
        // positive (its bug 105329) inside libstdc++ at -O3.
        std::string path = std::to_string(index);
        path.insert(path.begin(), '[');
        path.push_back(']');
        specs.push_back(PLENWICK_TRY(decodeSpec(document[index], path)));
    }
    return specs;
}

} // namespace plenwick
