#include "FontFallback.h"

namespace platform
{

juce::Typeface::Ptr FontFallbackLookAndFeel::getTypefaceForFont (const juce::Font& font)
{
    if (font.getTypefaceName() == cjkFontName)
        if (auto typeface = loadFallback())
            return typeface;

    return LookAndFeel_V4::getTypefaceForFont (font);
}

juce::Typeface::Ptr FontFallbackLookAndFeel::loadFallback()
{
    const juce::ScopedLock scopedLock (lock);

    if (searched)
        return fallback;

    searched = true;

    if (juce::Font::findAllTypefaceNames().contains (cjkFontName))
        return nullptr;   // the real one is installed: the framework finds it by name

    // Fonts with both CJK and Latin glyphs, so that the English parts of a text render too.
    static const char* const candidates[] = {
        "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",
        "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc",
        "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
    };

    for (const auto* path : candidates)
    {
        juce::MemoryBlock data;

        if (juce::File (path).loadFileAsData (data) && data.getSize() > 0)
            if ((fallback = juce::Typeface::createSystemTypefaceFor (data.getData(), data.getSize())) != nullptr)
                break;
    }

    return fallback;
}

} // namespace platform
