"""A slow, obviously correct component tree for small images, to check the
library against."""
import numpy as np


def offsets(radius):
    r = np.float32(radius)
    if not np.isfinite(r) and not r > 0:
        return []
    big = int(np.ceil(r)) if np.isfinite(r) else 64
    limit = float(r * r) + 1e-6
    return [(dx, dy) for dy in range(-big, big + 1) for dx in range(-big, big + 1)
            if (dx, dy) != (0, 0) and limit >= dx * dx + dy * dy]


def components(image, radius, is_max):
    """Every component as (level, frozenset of pixels), keyed by the set."""
    h, w = image.shape
    flat = image.ravel()
    steps = offsets(radius)
    found = {}
    for level in np.unique(flat):
        inside = flat >= level if is_max else flat <= level
        seen = np.zeros(flat.size, bool)
        for start in np.flatnonzero(inside & (flat == level)):
            if seen[start]:
                continue
            queue, comp = [start], {start}
            seen[start] = True
            while queue:
                p = queue.pop()
                y, x = divmod(p, w)
                for dx, dy in steps:
                    nx, ny = x + dx, y + dy
                    if 0 <= nx < w and 0 <= ny < h:
                        q = ny * w + nx
                        if inside[q] and not seen[q]:
                            seen[q] = True
                            comp.add(q)
                            queue.append(q)
            found[frozenset(comp)] = int(level)
    return found


def cc_order(image, pixels, is_max):
    """Pixels in reverse processing order: last processed level first, ties by
    descending index."""
    flat = image.ravel().astype(np.int64)
    key = flat if is_max else -flat
    return sorted(pixels, key=lambda p: (key[p], -p))
