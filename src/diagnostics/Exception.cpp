#include "diagnostics/Exception.h"

#include "diagnostics/HResultException.h"
#include "diagnostics/Log.h"

#include <any>
#include <regex>
#include <stdexcept>
#include <system_error>

namespace Tessaro::Vantrel::Common::Exceptions {

namespace {

class CaughtExceptionReport {
public:
    CaughtExceptionReport(const std::string& name, const std::function<void()>& errorHandler, bool suppressLogging)
        : name_(name), errorHandler_(errorHandler), suppressLogging_(suppressLogging)
    {
    }

    template <typename... Args>
    void Log(std::string_view format, const Args&... args) const
    {
        if (!suppressLogging_) {
            LogFormat(LogComponent::None, LogLevel::Error, format, name_, args...);
        }
    }

    void CallErrorHandler() const
    {
        if (errorHandler_) {
            errorHandler_();
        }
    }

private:
    const std::string& name_;
    const std::function<void()>& errorHandler_;
    bool suppressLogging_;
};

}  // namespace

std::uint32_t Exception::CatchAllAndConvertToErrorCode(const std::function<std::uint32_t()>& function,
                                                       const std::string& name,
                                                       const std::function<void()>& errorHandler, bool suppressLogging)
{
    const CaughtExceptionReport report(name, errorHandler, suppressLogging);
    // The handler runs outside the catch clauses so that an exception it raises leaves the
    // barrier, as it must, instead of being mistaken for a nested failure.
    std::uint32_t code = 0;
    try {
        return function();
    } catch (const HResultException& exception) {
        report.Log("HResult exception caught - {}: {} (Code: 0x{:x})", std::string(exception.Message()),
                   exception.Code());
        code = exception.Code();
    } catch (const std::regex_error& exception) {
        const char* what = exception.what();
        report.Log("Regex exception caught - {}: {}",
                   std::string(what != nullptr && *what != '\0' ? what : "Unknown exception"));
        return static_cast<std::uint32_t>(exception.code());
    } catch (const std::bad_any_cast& exception) {
        report.Log("Any cast exception caught - {}: {}", std::string(exception.what()));
        code = BadAnyCastCode;
    } catch (const std::system_error& exception) {
        const auto value = static_cast<std::uint32_t>(exception.code().value());
        report.Log("System error exception caught - {}: {} (Code: {} [0x{:x}])", std::string(exception.what()),
                   exception.code().message(), value);
        code = value;
    } catch (const std::invalid_argument& exception) {
        report.Log("Invalid argument error caught - {}: {}", std::string(exception.what()));
        code = StandardExceptionCode;
    } catch (const std::logic_error& exception) {
        report.Log("Logic error caught - {}: {}", std::string(exception.what()));
        code = StandardExceptionCode;
    } catch (const std::exception& exception) {
        report.Log("Exception caught - {}: {}", std::string(exception.what()));
        code = StandardExceptionCode;
    } catch (...) {
        report.Log("Unknown unhandled exception caught - {}");
        code = UnknownExceptionCode;
    }
    report.CallErrorHandler();
    return code;
}

}  // namespace Tessaro::Vantrel::Common::Exceptions
