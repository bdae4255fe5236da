"""A slow tree of shapes for tiny images, along another road than vexa's.

The image is immersed on the Khalimsky grid as an interval-valued map (a
pixel keeps its value; a point between pixels takes the interval from the
smallest to the largest pixel around it). A propagation from the outside
point (the first point of the grid) gives each point one level of its
interval: the level it is first reached at, clamped into its interval, the
current level moving to the nearest pending one (the lower on ties) when
its own runs out. This sets every saddle between pixels to the level of the
side the outside reaches it from, so that level lines never cross. The
shapes are then the components (4- or 6-adjacency) of the upper and lower
level sets of those levels, each saturated: it takes everything that its
complement's component holding the outside point does not reach.
"""
import itertools

import numpy as np
from scipy import ndimage


def padding_value(image, padding):
    """The level around the image (a numpy scalar of its dtype), or None."""
    if padding == "none":
        return None
    if padding == "zero":
        return image.dtype.type(0)
    border = np.ones(image.shape, bool)
    border[tuple(slice(1, -1) for _ in image.shape)] = False
    mean = image[border].astype(np.float64).mean()
    if np.issubdtype(image.dtype, np.floating):
        return image.dtype.type(mean)
    return image.dtype.type(np.trunc(mean))


def interval_map(image, padding):
    """(low, high) on the Khalimsky grid of the (padded) image, as float64,
    and the slices of that grid that hold the image's pixels."""
    values = image.astype(np.float64)
    pad = padding_value(image, padding)
    if pad is not None:
        values = np.pad(values, 1, constant_values=float(pad))
    shape = tuple(2 * n - 1 for n in values.shape)
    low, high = np.full(shape, np.inf), np.full(shape, -np.inf)
    grid = np.indices(shape)
    for offsets in itertools.product((0, 1), repeat=image.ndim):
        pixel = tuple((g + o) // 2 for g, o in zip(grid, offsets))
        low = np.minimum(low, values[pixel])
        high = np.maximum(high, values[pixel])
    first = 2 if pad is not None else 0
    pixels = tuple(slice(first, n - first, 2) for n in shape)
    return low, high, pixels


def propagated_levels(low, high):
    """Each point's level, by propagation from the first point."""
    level = np.full(low.shape, np.nan)
    pending = {}  # level -> points
    start = (0,) * low.ndim
    level[start] = low[start]
    pending[low[start]] = [start]
    current = low[start]
    while pending:
        if current not in pending:
            above = [v for v in pending if v > current]
            below = [v for v in pending if v < current]
            up, down = min(above, default=None), max(below, default=None)
            current = up if down is None or (up is not None and up - current < current - down) else down
        point = pending[current].pop()
        if not pending[current]:
            del pending[current]
        for axis in range(low.ndim):
            for step in (-1, 1):
                n = list(point)
                n[axis] += step
                n = tuple(n)
                if 0 <= n[axis] < low.shape[axis] and np.isnan(level[n]):
                    level[n] = min(high[n], max(low[n], current))
                    pending.setdefault(level[n], []).append(n)
    return level


def shapes(image, padding):
    """The set of shapes, each a frozenset of the flat indices of the
    image's pixels it holds (the whole image among them)."""
    low, high, pixels = interval_map(image, padding)
    level = propagated_levels(low, high)
    index = np.full(low.shape, -1)
    index[pixels] = np.arange(image.size).reshape(image.shape)
    outside = (0,) * image.ndim
    found = {frozenset(range(image.size))}
    for t in np.unique(level):
        for level_set in (level >= t, level <= t):
            labels, count = ndimage.label(level_set)
            for label in range(1, count + 1):
                component = labels == label
                rest, _ = ndimage.label(~component)
                saturated = np.ones_like(component) if component[outside] else rest != rest[outside]
                members = frozenset(index[saturated & (index >= 0)].tolist())
                if members:
                    found.add(members)
    return found
