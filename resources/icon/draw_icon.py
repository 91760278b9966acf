#!/usr/bin/python3
"""Draws the Vantrel Install icon: a white arrow dropping into a light-blue
tray on a dark-blue rounded square.

16, 32 and 48 px are laid out on whole pixels so the strokes stay sharp;
only the rounded corners are smoothed. 256 px is drawn as shapes at 4x and
reduced, with a soft shadow that would only blur the small sizes.

Usage: draw_icon.py OUTDIR   (writes OUTDIR/16.png 32.png 48.png 256.png)
"""
import os
import sys

from PIL import Image, ImageDraw, ImageFilter

DARK_BLUE = (0x00, 0x69, 0x94)   # same as the progress bar's fill
LIGHT_BLUE = (0xAD, 0xD8, 0xE6)  # same as the progress bar's track
TOP_BLUE = (0x0B, 0x86, 0xB8)    # lighter top of the background gradient
WHITE = (0xFF, 0xFF, 0xFF)

# Hand-placed geometry per small size, in pixels (end values exclusive).
#   stem:  x0, x1, y0, y1        arrow shaft
#   head:  y0, half_width        first row of the arrowhead; each row below
#                                is one pixel narrower on each side (45 deg)
#   tray:  x0, x1, y0, y1, wall  U-shaped tray; wall = stroke thickness
#   radius: corner radius of the background
SMALL = {
    16: dict(stem=(7, 9, 2, 6), head=(6, 4), tray=(2, 14, 9, 14, 2), radius=3),
    32: dict(stem=(14, 18, 3, 13), head=(12, 10), tray=(4, 28, 18, 28, 3), radius=6),
    48: dict(stem=(21, 27, 5, 20), head=(19, 15), tray=(6, 42, 27, 42, 4), radius=9),
}


def background(size, radius, scale=4):
    """Rounded square with a vertical gradient; drawn at `scale`x and reduced
    so only its outline is antialiased."""
    big = size * scale
    grad = Image.new("RGBA", (1, big))
    for y in range(big):
        t = y / (big - 1)
        grad.putpixel((0, y), tuple(round(a + (b - a) * t) for a, b in zip(TOP_BLUE, DARK_BLUE)) + (255,))
    grad = grad.resize((big, big), Image.NEAREST)
    mask = Image.new("L", (big, big), 0)
    ImageDraw.Draw(mask).rounded_rectangle((0, 0, big - 1, big - 1), radius * scale, fill=255)
    out = Image.new("RGBA", (big, big), (0, 0, 0, 0))
    out.paste(grad, (0, 0), mask)
    return out.resize((size, size), Image.BOX)


def draw_small(size):
    g = SMALL[size]
    img = background(size, g["radius"])
    d = ImageDraw.Draw(img)

    def rect(x0, y0, x1, y1, colour):
        # PIL's rectangle includes its far edge; our tables don't.
        d.rectangle((x0, y0, x1 - 1, y1 - 1), fill=colour + (255,))

    tx0, tx1, ty0, ty1, wall = g["tray"]
    rect(tx0, ty0, tx0 + wall, ty1, LIGHT_BLUE)
    rect(tx1 - wall, ty0, tx1, ty1, LIGHT_BLUE)
    rect(tx0, ty1 - wall, tx1, ty1, LIGHT_BLUE)

    sx0, sx1, sy0, sy1 = g["stem"]
    rect(sx0, sy0, sx1, sy1, WHITE)
    hy, hw = g["head"]
    centre = size // 2
    row = hy
    half = hw
    while half >= 1:
        rect(centre - half, row, centre + half, row + 1, WHITE)
        row += 1
        half -= 1
    return img


def draw_large(size=256, scale=4):
    """Same mark as the small sizes, drawn as shapes for the 256 px image."""
    big = size * scale
    u = big / 256.0  # design units are 256ths of the icon

    def p(*xy):
        return [v * u for v in xy]

    img = background(big, 44 * scale, 1)

    tray = Image.new("L", (big, big), 0)
    td = ImageDraw.Draw(tray)
    td.rounded_rectangle(p(32, 144, 224, 228), 14 * u, fill=255)
    td.rectangle(p(62, 120, 194, 198), fill=0)

    arrow = Image.new("L", (big, big), 0)
    ad = ImageDraw.Draw(arrow)
    ad.rounded_rectangle(p(110, 28, 146, 116), 6 * u, fill=255)
    ad.polygon(p(50, 100, 206, 100, 128, 178), fill=255)

    # Soft drop shadow under the white and light-blue parts.
    shadow = Image.new("L", (big, big), 0)
    shadow.paste(tray, (0, 0), tray)
    shadow.paste(arrow, (0, 0), arrow)
    shadow = shadow.filter(ImageFilter.GaussianBlur(6 * u))
    shadow = shadow.point(lambda v: v * 45 // 100)
    dark = Image.new("RGBA", (big, big), (0, 0x30, 0x48, 255))
    offset = Image.new("L", (big, big), 0)
    offset.paste(shadow, (0, round(5 * u)))
    # Keep the shadow inside the rounded square.
    offset = Image.composite(offset, Image.new("L", (big, big), 0), img.getchannel("A"))
    img.paste(dark, (0, 0), offset)

    img.paste(Image.new("RGBA", (big, big), LIGHT_BLUE + (255,)), (0, 0), tray)
    img.paste(Image.new("RGBA", (big, big), WHITE + (255,)), (0, 0), arrow)
    return img.resize((size, size), Image.BOX)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: draw_icon.py OUTDIR")
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    images = {s: draw_small(s) for s in SMALL}
    images[256] = draw_large()
    for size, img in sorted(images.items()):
        path = os.path.join(outdir, "%d.png" % size)
        # No text chunks or timestamps, so reruns give identical bytes.
        img.save(path, "PNG", optimize=True)
        print("wrote %s" % path)


if __name__ == "__main__":
    main()
