// Building attribute lists, and their limits.
#include "otlp_model.h"

#include <cstring>
#include <unordered_map>
#include <utility>

namespace otlp {

std::size_t KeyValue::KeyLength() const { return fixed_key != nullptr ? std::strlen(fixed_key) : owned_key.size(); }

KeyValue& AddAttribute(Attributes& list, const char* fixed_key, ValueType type) {
    list.emplace_back();
    list.back().fixed_key = fixed_key;
    list.back().value.type = type;
    return list.back();
}

KeyValue& AddAttribute(Attributes& list, std::string key, ValueType type) {
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

void Truncate(std::string& text, std::size_t chars) {
    if (text.size() <= chars) return;
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && chars-- == 0) {
            text.resize(i);
            return;
        }
}

std::uint32_t ApplyLimits(Attributes& list, std::size_t count, std::size_t length) {
    auto key_of = [](const KeyValue& a) { return std::string_view(a.Key(), a.KeyLength()); };
    // The kept attributes move to the front. Their keys are looked up in a
    // map once the list is long; a short one is searched.
    const bool hashed = list.size() > 16;
    std::unordered_map<std::string_view, std::size_t> index;
    std::uint32_t dropped = 0;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string_view key = key_of(list[i]);
        std::size_t at = kept;
        if (hashed) {
            auto found = index.find(key);
            if (found != index.end()) at = found->second;
        } else {
            for (std::size_t j = 0; j < kept && at == kept; ++j)
                if (key_of(list[j]) == key) at = j;
        }
        if (at < kept) {
            list[at].value = std::move(list[i].value);
        } else if (key.empty() || kept >= count) {
            if (dropped < UINT32_MAX) ++dropped;
        } else {
            if (i != kept) list[kept] = std::move(list[i]);
            if (hashed) index.emplace(key_of(list[kept]), kept);
            ++kept;
        }
    }
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(kept), list.end());
    if (length != kNoLimit) {
        for (KeyValue& a : list) {
            Truncate(a.value.s, length);
            for (std::string& s : a.value.array) Truncate(s, length);
        }
    }
    return dropped;
}

}  // namespace otlp
