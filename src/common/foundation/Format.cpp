// The formatting library's compiled part, built once here instead of inline in every file that
// formats. Its headers declare these functions and instantiations without defining them.

#include <fmt/format-inl.h>

FMT_BEGIN_NAMESPACE
namespace detail {

template auto dragonbox::to_decimal(float x) noexcept -> dragonbox::decimal_fp<float>;
template auto dragonbox::to_decimal(double x) noexcept -> dragonbox::decimal_fp<double>;

template locale_ref::locale_ref(const std::locale& locale);
template auto locale_ref::get<std::locale>() const -> std::locale;

#if FMT_VERSION >= 100000
// From {fmt} 10 on (Debian 13), formatting into a buffer is declared for every user and compiled
// once, here.
template void vformat_to(buffer<char>&, string_view, typename vformat_args<>::type, locale_ref);
#endif

template auto thousands_sep_impl(locale_ref) -> thousands_sep_result<char>;
template auto decimal_point_impl(locale_ref) -> char;
template auto thousands_sep_impl(locale_ref) -> thousands_sep_result<wchar_t>;
template auto decimal_point_impl(locale_ref) -> wchar_t;

}  // namespace detail
FMT_END_NAMESPACE
