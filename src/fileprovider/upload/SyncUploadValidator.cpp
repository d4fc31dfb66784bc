#include "fileprovider/upload/SyncUploadValidator.hpp"

#include <algorithm>

#include "base/UTF8.hpp"

namespace tarnix::fileprovider {

using Reason = common::UploadRejectionReason;

namespace {

constexpr std::size_t kMaximumFilenameBytes = 245;

bool isWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool isProhibitedUnicode(char32_t c) {
  return c <= 0x1F || (c >= 0x7F && c <= 0x9F) || c > 0xFFFD || c == 0x2028 || c == 0x2029 ||
         c == 0x21B9 || c == 0x21E4 || c == 0x21E5 || c == 0x2409 || c == 0x240B;
}

std::string lowerCased(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

/// The extension after the last dot, none for names without one or starting with the only dot.
std::optional<std::string> pathExtension(const std::string& filename) {
  auto dot = filename.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == filename.size()) return std::nullopt;
  return lowerCased(filename.substr(dot + 1));
}

}  // namespace

UploadValidationRules UploadValidationRules::make(const common::CloudConfiguration& configuration) {
  UploadValidationRules rules;
  rules.maxFileSize = configuration.maxFileSize;
  for (auto extension : configuration.excludedExtensions) {
    if (extension.starts_with('.')) extension.erase(0, 1);
    rules.excludedFilenameExtensions.push_back(lowerCased(extension));
  }
  rules.unsupportedContentTypes = {kAliasFileContentType, kSymbolicLinkContentType};
  rules.prohibitedCharacters = U"\u0008*?/\\:<>\"|";
  rules.dotsAndSpaceRegex = std::regex(R"((?:^\s.+$)|(?:^.+\s$)|(?:^.+\.$))");
  return rules;
}

std::optional<Reason> validateUpload(const UploadValidationRules& rules,
                                     const std::string& filename, std::int64_t contentSize,
                                     const std::optional<std::string>& contentType) {
  if (contentType && std::ranges::find(rules.unsupportedContentTypes, *contentType) !=
                         rules.unsupportedContentTypes.end()) {
    return *contentType == kAliasFileContentType ? Reason::aliasFile
                                                 : Reason::unsupportedContentType;
  }
  if (rules.maxFileSize && contentSize > *rules.maxFileSize) return Reason::contentTooLarge;
  if (filename.size() > kMaximumFilenameBytes) return Reason::filenameTooLong;
  auto scalars = base::decodeUTF8(filename);
  if (!scalars) return Reason::prohibitedUnicodeInFilename;
  if (std::ranges::all_of(*scalars, isWhiteSpace)) return Reason::invalidFilename;
  if (std::regex_search(filename, rules.dotsAndSpaceRegex)) return Reason::invalidFilename;
  if (std::ranges::any_of(*scalars, [&](char32_t c) {
        return rules.prohibitedCharacters.find(c) != std::u32string::npos;
      })) {
    return Reason::prohibitedCharacterInFilename;
  }
  if (std::ranges::any_of(*scalars, isProhibitedUnicode)) {
    return Reason::prohibitedUnicodeInFilename;
  }
  if (auto extension = pathExtension(filename);
      extension && std::ranges::find(rules.excludedFilenameExtensions, *extension) !=
                       rules.excludedFilenameExtensions.end()) {
    return Reason::excludedFilenameExtension;
  }
  return std::nullopt;
}

SyncUploadValidator::SyncUploadValidator(
    std::shared_ptr<common::DriveConfigurationProvider> configurationProvider)
    : configurationProvider_(std::move(configurationProvider)),
      serialQueue_(base::DispatchQueue::make("com.tarnix.SyncUploadValidator")),
      rules_(UploadValidationRules::make(configurationProvider_ ? configurationProvider_->value()
                                                                : common::CloudConfiguration{})) {}

void SyncUploadValidator::start() {
  if (!configurationProvider_) return;
  std::weak_ptr<SyncUploadValidator> weak = shared_from_this();
  subscription_ = configurationProvider_->subscribe([weak](const common::CloudConfiguration& c) {
    auto self = weak.lock();
    if (!self) return;
    auto rules = UploadValidationRules::make(c);
    self->serialQueue_->async(
        [self, rules = std::move(rules)]() mutable { self->rules_ = std::move(rules); });
  });
}

void SyncUploadValidator::stop() {
  subscription_.reset();
  serialQueue_->sync([] {});
}

std::optional<Reason> SyncUploadValidator::validate(const std::string& filename,
                                                    std::int64_t contentSize,
                                                    const std::optional<std::string>& contentType) {
  return serialQueue_->sync(
      [&] { return validateUpload(rules_, filename, contentSize, contentType); });
}

}  // namespace tarnix::fileprovider
