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


def bar_problems(image):
    """What differs from the light blue progress bar at (10, 10), 280 x 25, on white; []
    when it is there (corners and edges left out: they are rounded and antialiased)."""
    expected = [((200, 12), LIGHT_BLUE, "top inside"), ((200, 32), LIGHT_BLUE, "bottom inside"),
                ((287, 22), LIGHT_BLUE, "right inside"), ((250, 22), LIGHT_BLUE, "right part"),
                ((5, 5), WHITE, "top left corner"), ((150, 6), WHITE, "above"),
                ((150, 38), WHITE, "below"), ((6, 22), WHITE, "left of it"),
                ((294, 22), WHITE, "right of it"), ((295, 45), WHITE, "bottom right corner")]
    return [f"{name} {xy}: {image.getpixel(xy)} is not {colour}"
            for xy, colour, name in expected if not close_to(image.getpixel(xy), colour)]


def fill_problems(image):
    """What differs from a bar whose dark fill has begun at its left end; [] when it has."""
    return [f"{xy}: {image.getpixel(xy)} is not the dark fill {DARK_FILL}"
            for xy in ((16, 22), (30, 13), (30, 31)) if not close_to(image.getpixel(xy), DARK_FILL)]


def red_text_problems(image, lang):
    """What is missing for the red text to show in place of the bar; [] when it is there."""
    problems = []
    red = sum(is_red(image.getpixel((x, y))) for x in range(5, 295) for y in range(10, 40))
    if red < 100:
        problems.append(f"only {red} red pixels in the label area")
    blue = [xy for xy in ((150, 12), (250, 22), (287, 22), (30, 30))
            if close_to(image.getpixel(xy), LIGHT_BLUE) or close_to(image.getpixel(xy), DARK_FILL)]
    if blue:
        problems.append(f"the progress bar still shows at {blue}")
    if lang == "cn" and columns_crossing_strokes(image) < 20:
        problems.append("the Chinese text looks like empty boxes (too few columns cross 3 strokes)")
    return problems


def wait_for_picture(app, problems_of, timeout, save_to):
    """Screenshots the program's window until problems_of(picture) is empty; fails with the last
    problems."""
    window = app.window()
    last = ["no screenshot could be taken"]

    def good():
        nonlocal last
        image = screenshot(window, save_to)
        if image is None:
            return None
        if image.width < 300 or image.height < 50:   # too small to hold what is looked for
            last = [f"the window is still {image.size[0]} x {image.size[1]}"]
            return None
        last = problems_of(image)
        return image if not last else None
    try:
        return app.wait_until(good, timeout, "the expected picture", interval=0.3)
    except AssertionError:
        raise AssertionError(f"the window never showed what was expected ({save_to}): {last}")
