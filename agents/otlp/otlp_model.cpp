// Building attribute lists.
#include "otlp_model.h"

#include <cstring>
#include <utility>

namespace otlp {

std::size_t Attribute::KeyLength() const { return fixed_key != nullptr ? std::strlen(fixed_key) : owned_key.size(); }

Attribute& AddAttribute(Attributes& list, const char* fixed_key, ValueType type) {
    list.emplace_back();
    list.back().fixed_key = fixed_key;
    list.back().value.type = type;
    return list.back();
}

Attribute& AddAttribute(Attributes& list, std::string key, ValueType type) {
    list.emplace_back();
    list.back().owned_key = std::move(key);
    list.back().value.type = type;
    return list.back();
}

void AddString(Attributes& list, const char* key, std::string value) {
    AddAttribute(list, key, ValueType::kString).value.s = std::move(value);
}

void AddInt(Attributes& list, const char* key, std::int64_t value) {
    AddAttribute(list, key, ValueType::kInt).value.i = value;
}

}  // namespace otlp
