"""What the window's pictures show: the progress bar, its fill, the red text."""

from .display import screenshot

LIGHT_BLUE = (0xAD, 0xD8, 0xE6)
DARK_FILL = (0x00, 0x69, 0x94)
WHITE = (0xFF, 0xFF, 0xFF)


def close_to(colour, expected, tolerance=24):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def is_red(colour):
    r, g, b = colour
    return r >= 170 and g <= 100 and b <= 100


def at(scale, *coordinates):
    """Window coordinates at a display scale (1.5 at 150 %), from those at 100 %."""
    return tuple(int(c * scale) for c in coordinates)


def columns_crossing_strokes(image, strokes=3, box=(5, 10, 295, 40)):
    """Columns of the label area whose red pixels form at least `strokes` separate runs.
    A missing glyph's box has two (its top and bottom) in every column; drawn characters
    such as 服务器 or 'e' cross three or more strokes in many columns."""
    x0, y0, x1, y1 = box
    count = 0
    for x in range(x0, x1):
        runs, inside = 0, False
        for y in range(y0, y1):
            red = is_red(image.getpixel((x, y)))
            if red and not inside:
                runs += 1
            inside = red
        if runs >= strokes:
            count += 1
    return count


def bar_problems(image, scale=1):
    """What differs from the light blue progress bar at (10, 10), 280 x 25, on white (all
    times `scale`); [] when it is there (corners and edges left out: they are rounded and
    antialiased)."""
    expected = [((200, 12), LIGHT_BLUE, "top inside"), ((200, 32), LIGHT_BLUE, "bottom inside"),
                ((287, 22), LIGHT_BLUE, "right inside"), ((250, 22), LIGHT_BLUE, "right part"),
                ((5, 5), WHITE, "top left corner"), ((150, 6), WHITE, "above"),
                ((150, 38), WHITE, "below"), ((6, 22), WHITE, "left of it"),
                ((294, 22), WHITE, "right of it"), ((295, 45), WHITE, "bottom right corner")]
    return colour_problems(image, scale, expected)


def fill_problems(image, scale=1):
    """What differs from a bar whose dark fill has begun at its left end; [] when it has."""
    return colour_problems(image, scale, [(xy, DARK_FILL, "dark fill") for xy in ((16, 22), (30, 13), (30, 31))])


def fill_reaches_problems(image, share):
    """What differs from a bar whose dark fill reaches at least `share` of its width (looked at
    above the percentage text, a little inside the fill's rounded end)."""
    x = max(16, 10 + int(280 * share) - 3)
    return colour_problems(image, 1, [((16, 22), DARK_FILL, "dark fill"),
                                      ((x, 13), DARK_FILL, f"dark fill at {share:.0%} of the bar")])


def colour_problems(image, scale, expected):
    """Which of [(point at 100 %, colour, what)] the picture at `scale` does not show."""
    problems = []
    for xy, colour, what in expected:
        point = at(scale, *xy)
        found = image.getpixel(point)
        if not close_to(found, colour):
            problems.append(f"{what} {point}: {found} is not {colour}")
    return problems


def red_text_problems(image, lang, scale=1):
    """What is missing for the red text to show in place of the bar; [] when it is there."""
    problems = []
    x0, y0, x1, y1 = box = at(scale, 5, 10, 295, 40)
    red = sum(is_red(image.getpixel((x, y))) for x in range(x0, x1) for y in range(y0, y1))
    if red < 100 * scale * scale:
        problems.append(f"only {red} red pixels in the label area")
    points = [at(scale, *xy) for xy in ((150, 12), (250, 22), (287, 22), (30, 30))]
    blue = [p for p in points if any(close_to(image.getpixel(p), bar) for bar in (LIGHT_BLUE, DARK_FILL))]
    if blue:
        problems.append(f"the progress bar still shows at {blue}")
    if lang == "cn" and columns_crossing_strokes(image, box=box) < 20 * scale:
        problems.append("the Chinese text looks like empty boxes (too few columns cross 3 strokes)")
    return problems


def scaled_text_problems(image, scale):
    """What shows that the red text was not drawn whole at `scale`: text running into the edges of
    the label area (cut off), or a small picture stretched instead of text drawn at that size.
    A stretch either blurs the strokes, whose cores are solid red where the text is drawn at its
    size (more than half of the red, a third or less when stretched), or, at a whole scale, copies
    columns (every other one repeats the one before at 200 %)."""
    x0, y0, x1, y1 = at(scale, 5, 10, 295, 40)
    red = [(x, y) for x in range(x0, x1) for y in range(y0, y1) if is_red(image.getpixel((x, y)))]
    if not red:
        return ["no red text"]
    problems = []
    left, right = min(x for x, _ in red), max(x for x, _ in red)
    if left <= x0 + 1 or right >= x1 - 2:
        problems.append(f"the text runs from column {left} to {right}, into the label area's edges {x0} and {x1}")
    if scale == int(scale) > 1:
        for phase in range(int(scale)):
            if all(all(close_to(image.getpixel((x, y)), image.getpixel((x + 1, y)), 8) for y in range(y0, y1))
                   for x in range(left + phase, right, int(scale))):
                problems.append(f"from column {left + phase}, every {int(scale)} columns one repeats the one before: stretched")
    solid = sum(1 for xy in red if close_to(image.getpixel(xy), (0xFF, 0, 0), 20)) / len(red)
    if solid < 0.5:
        problems.append(f"only {solid:.0%} of the red text is solid: blurred, a stretched picture")
    return problems


def wait_for_picture(app, problems_of, timeout, save_to, size=(300, 50)):
    """Screenshots the program's window (of `size`) until problems_of(picture) is empty; fails with
    the last problems."""
    window = app.window(size=size)
    last = ["no screenshot could be taken"]

    def good():
        nonlocal last
        image = screenshot(window, save_to)
        if image is None:
            return None
        if image.width < size[0] or image.height < size[1]:   # too small to hold what is looked for
            last = [f"the window is still {image.size[0]} x {image.size[1]}"]
            return None
        last = problems_of(image)
        return image if not last else None
    try:
        return app.wait_until(good, timeout, "the expected picture", interval=0.3)
    except AssertionError:
        raise AssertionError(f"the window never showed what was expected ({save_to}): {last}")
