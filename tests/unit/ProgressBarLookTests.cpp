#include "download/CustomLookAndFeel.h"

#include <gtest/gtest.h>

#include <limits>

namespace
{
    const juce::Colour lightBlue (0xffadd8e6), darkBlue (0xff006994);

    juce::Image drawBar (double progress, const juce::String& text = {})
    {
        CustomLookAndFeel look;
        double watched = progress;
        juce::ProgressBar bar (watched);
        juce::Image image (juce::Image::ARGB, 280, 25, true);
        juce::Graphics g (image);
        look.drawProgressBar (g, bar, 280, 25, progress, text);
        return image;
    }

    bool isNearWhite (juce::Colour c)
    {
        return c.getRed() > 235 && c.getGreen() > 235 && c.getBlue() > 235;
    }

    /** Width of the dark fill along the middle row (clear of the rounded corners): pixels nearer
        the dark colour than the light one, so that an anti-aliased edge counts once at most.
    */
    int darkFillWidth (const juce::Image& image)
    {
        const auto distance = [] (juce::Colour a, juce::Colour b)
        {
            return std::abs (a.getRed() - b.getRed()) + std::abs (a.getGreen() - b.getGreen()) + std::abs (a.getBlue() - b.getBlue());
        };

        int width = 0;

        for (int x = 0; x < image.getWidth(); ++x)
            if (distance (image.getPixelAt (x, 12), darkBlue) < distance (image.getPixelAt (x, 12), lightBlue))
                width = x + 1;

        return width;
    }
}

TEST (ProgressBarLook, FillWidthIsTheProgressTruncated)
{
    const struct { double progress; int width; } cases[] = {
        { 0.5, 140 }, { 0.999, 279 }, { 1.0, 280 }, { 0.25, 70 }, { 0.0036, 1 }, { 0.003, 0 },
        { 0.0, 0 }, { -0.5, 0 }, { -1.0 / 1048576.0, 0 },
        { std::numeric_limits<double>::infinity(), 0 }, { -std::numeric_limits<double>::infinity(), 0 },
        { std::numeric_limits<double>::quiet_NaN(), 0 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE ("progress " + std::to_string (c.progress));
        const auto image = drawBar (c.progress);

        EXPECT_EQ (darkFillWidth (image), c.width);

        if (c.width > 2)
        {
            EXPECT_EQ (image.getPixelAt (c.width / 2, 12), darkBlue);
        }

        // Everything right of the fill is the light blue background, whatever the fill did.
        if (c.width < 270)
        {
            EXPECT_EQ (image.getPixelAt (275, 12), lightBlue);
        }
    }
}

TEST (ProgressBarLook, RoundedLightBarWithCentredWhiteText)
{
    const auto image = drawBar (0.0, "0%");

    EXPECT_EQ (image.getPixelAt (20, 12), lightBlue);
    EXPECT_EQ (image.getPixelAt (0, 0).getAlpha(), 0);   // rounded corner: outside the shape
    EXPECT_EQ (image.getPixelAt (279, 24).getAlpha(), 0);

    int whiteColumnsLeft = 0, whiteColumnsRight = 0, whiteColumnsOutside = 0;

    for (int x = 0; x < 280; ++x)
        for (int y = 0; y < 25; ++y)
        {
            if (! isNearWhite (image.getPixelAt (x, y)))
                continue;

            (x < 140 ? whiteColumnsLeft : whiteColumnsRight) += 1;

            if (x < 110 || x > 170)
                ++whiteColumnsOutside;
        }

    EXPECT_GT (whiteColumnsLeft, 3);
    EXPECT_GT (whiteColumnsRight, 3);
    EXPECT_EQ (whiteColumnsOutside, 0);
}
