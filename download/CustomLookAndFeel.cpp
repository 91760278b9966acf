#include "CustomLookAndFeel.h"

#include <cmath>

void CustomLookAndFeel::drawProgressBar (juce::Graphics& g, juce::ProgressBar&, int width, int height,
                                         double progress, const juce::String& textToShow)
{
    constexpr float cornerSize = 5.0f;

    g.setColour (juce::Colour (0xffadd8e6));
    g.fillRoundedRectangle (0.0f, 0.0f, (float) width, (float) height, cornerSize);

    // Truncated toward zero; a negative, infinite or undefined product draws no fill.
    const auto fill = (double) width * progress;

    if (std::isfinite (fill) && fill >= 1.0)
    {
        g.setColour (juce::Colour (0xff006994));
        g.fillRoundedRectangle (0.0f, 0.0f, (float) (int) fill, (float) height, cornerSize);
    }

    g.setColour (juce::Colour (0xffffffff));
    g.setFont (g.getCurrentFont().withHeight (14.0f));
    g.drawText (textToShow, 0, 0, width, height, juce::Justification::centred, true);
}
