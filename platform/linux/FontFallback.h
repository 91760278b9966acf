#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

namespace platform
{

/** The default look-and-feel of the Linux build: where "Microsoft YaHei" is not installed it
    draws that name with a CJK font that has Latin letters too. The framework on Linux sees only
    single-face font files, and Debian's CJK fonts come as collections (.ttc), so the first face
    of an installed collection is loaded into memory, the first time the name is asked for.
*/
class FontFallbackLookAndFeel final : public juce::LookAndFeel_V4
{
public:
    FontFallbackLookAndFeel() = default;

    juce::Typeface::Ptr getTypefaceForFont (const juce::Font& font) override;

    /** The name the Chinese texts ask for. */
    static constexpr const char* cjkFontName = "Microsoft YaHei";

private:
    juce::Typeface::Ptr loadFallback();

    juce::CriticalSection lock;
    bool searched = false;
    juce::Typeface::Ptr fallback;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FontFallbackLookAndFeel)
};

} // namespace platform
