#pragma once
// HTTP status codes with the names the system uses, and their class by the hundreds digit.

#include <optional>

namespace tarnix::base {

struct HTTPStatusCode {
  enum class Category { informational, success, redirection, clientError, serverError };

  int rawValue = 0;

  constexpr HTTPStatusCode() = default;
  constexpr explicit HTTPStatusCode(int code) : rawValue(code) {}
  constexpr bool operator==(const HTTPStatusCode&) const = default;
  constexpr bool operator==(int code) const { return rawValue == code; }

  /// 1xx...5xx; none for codes outside 100...599.
  constexpr std::optional<Category> category() const {
    switch (rawValue / 100) {
      case 1:
        return Category::informational;
      case 2:
        return Category::success;
      case 3:
        return Category::redirection;
      case 4:
        return Category::clientError;
      case 5:
        return Category::serverError;
      default:
        return std::nullopt;
    }
  }

  static const HTTPStatusCode continue_, switchingProtocols, ok, created, accepted, noContent,
      partialContent, multipleChoices, movedPermanently, found, seeOther, notModified,
      temporaryRedirect, permanentRedirect, badRequest, unauthorised, paymentRequired, forbidden,
      notFound, methodNotAllowed, notAcceptable, requestTimeout, conflict, gone, lengthRequired,
      preconditionFailed, payloadTooLarge, uriTooLong, unsupportedMediaType, rangeNotSatisfiable,
      unprocessableEntity, locked, tooManyRequests, internalServerError, notImplemented, badGateway,
      serviceUnavailable, gatewayTimeout, insufficientStorage;
};

inline constexpr HTTPStatusCode HTTPStatusCode::continue_{100};
inline constexpr HTTPStatusCode HTTPStatusCode::switchingProtocols{101};
inline constexpr HTTPStatusCode HTTPStatusCode::ok{200};
inline constexpr HTTPStatusCode HTTPStatusCode::created{201};
inline constexpr HTTPStatusCode HTTPStatusCode::accepted{202};
inline constexpr HTTPStatusCode HTTPStatusCode::noContent{204};
inline constexpr HTTPStatusCode HTTPStatusCode::partialContent{206};
inline constexpr HTTPStatusCode HTTPStatusCode::multipleChoices{300};
inline constexpr HTTPStatusCode HTTPStatusCode::movedPermanently{301};
inline constexpr HTTPStatusCode HTTPStatusCode::found{302};
inline constexpr HTTPStatusCode HTTPStatusCode::seeOther{303};
inline constexpr HTTPStatusCode HTTPStatusCode::notModified{304};
inline constexpr HTTPStatusCode HTTPStatusCode::temporaryRedirect{307};
inline constexpr HTTPStatusCode HTTPStatusCode::permanentRedirect{308};
inline constexpr HTTPStatusCode HTTPStatusCode::badRequest{400};
inline constexpr HTTPStatusCode HTTPStatusCode::unauthorised{401};
inline constexpr HTTPStatusCode HTTPStatusCode::paymentRequired{402};
inline constexpr HTTPStatusCode HTTPStatusCode::forbidden{403};
inline constexpr HTTPStatusCode HTTPStatusCode::notFound{404};
inline constexpr HTTPStatusCode HTTPStatusCode::methodNotAllowed{405};
inline constexpr HTTPStatusCode HTTPStatusCode::notAcceptable{406};
inline constexpr HTTPStatusCode HTTPStatusCode::requestTimeout{408};
inline constexpr HTTPStatusCode HTTPStatusCode::conflict{409};
inline constexpr HTTPStatusCode HTTPStatusCode::gone{410};
inline constexpr HTTPStatusCode HTTPStatusCode::lengthRequired{411};
inline constexpr HTTPStatusCode HTTPStatusCode::preconditionFailed{412};
inline constexpr HTTPStatusCode HTTPStatusCode::payloadTooLarge{413};
inline constexpr HTTPStatusCode HTTPStatusCode::uriTooLong{414};
inline constexpr HTTPStatusCode HTTPStatusCode::unsupportedMediaType{415};
inline constexpr HTTPStatusCode HTTPStatusCode::rangeNotSatisfiable{416};
inline constexpr HTTPStatusCode HTTPStatusCode::unprocessableEntity{422};
inline constexpr HTTPStatusCode HTTPStatusCode::locked{423};
inline constexpr HTTPStatusCode HTTPStatusCode::tooManyRequests{429};
inline constexpr HTTPStatusCode HTTPStatusCode::internalServerError{500};
inline constexpr HTTPStatusCode HTTPStatusCode::notImplemented{501};
inline constexpr HTTPStatusCode HTTPStatusCode::badGateway{502};
inline constexpr HTTPStatusCode HTTPStatusCode::serviceUnavailable{503};
inline constexpr HTTPStatusCode HTTPStatusCode::gatewayTimeout{504};
inline constexpr HTTPStatusCode HTTPStatusCode::insufficientStorage{507};

}  // namespace tarnix::base
