"""Pictures of a watershed hierarchy: a photograph, its gradient, the saliency
map of the hierarchy by volume, and its cuts into 10 and 100 regions.

Usage: watershed_hierarchy.py --output DIR [--image PATH]

The photograph is scikit-image's camera (vexa's bundled image without
scikit-image, or any grey image given with --image). Writes photo.png,
gradient.png, saliency.png (on the Khalimsky grid, darker where contours
are stronger) and regions_10.png, regions_100.png (each region at its mean
grey level, borders in black), and watershed_hierarchy.png, the five side
by side at half size (the picture of the docs).
"""
import argparse
import os

import numpy as np

import vexa


def photograph(path):
    if path:
        image = np.asarray(vexa.read_image(path))
        return image if image.ndim == 2 else image[..., :3].mean(axis=2).astype(np.uint8)
    try:
        from skimage import data
        return data.camera()
    except ImportError:
        return vexa.default_image()


def sobel(image):
    """Gradient magnitude by Sobel's 3 x 3 kernels (edges replicated)."""
    padded = np.pad(image.astype(np.float64), 1, mode="edge")
    rows = padded[2:, :] - padded[:-2, :]
    cols = padded[:, 2:] - padded[:, :-2]
    gy = rows[:, :-2] + 2 * rows[:, 1:-1] + rows[:, 2:]
    gx = cols[:-2, :] + 2 * cols[1:-1, :] + cols[2:, :]
    return np.hypot(gx, gy)


def grey8(values, gamma=1.0):
    """Values stretched to 0..255, through a power law to show faint ones."""
    values = values.astype(np.float64)
    top = values.max()
    scaled = (values / top) ** gamma if top > 0 else values
    return np.round(255 * scaled).astype(np.uint8)


def mosaic(image, labels):
    """Each region at its mean grey level, pixels on a border black."""
    count = np.bincount(labels.ravel())
    mean = np.bincount(labels.ravel(), weights=image.ravel().astype(np.float64)) / count
    out = mean[labels].astype(np.uint8)
    border = np.zeros(labels.shape, bool)
    border[:, 1:] |= labels[:, 1:] != labels[:, :-1]
    border[1:, :] |= labels[1:, :] != labels[:-1, :]
    out[border] = 0
    return out


def pooled(image, k, reduce):
    """Blocks of k x k pixels reduced to one (the image cropped to whole blocks)."""
    h, w = image.shape[0] // k * k, image.shape[1] // k * k
    return reduce(image[:h, :w].reshape(h // k, k, w // k, k), axis=(1, 3)).astype(image.dtype)


def side_by_side(*panels):
    """Panels of one height, with a white gap between them."""
    gap = np.full((panels[0].shape[0], 8), 255, np.uint8)
    row = [panels[0]]
    for panel in panels[1:]:
        row += [gap, panel]
    return np.hstack(row)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", required=True, help="directory to write the pictures to")
    parser.add_argument("--image", help="a grey photograph (default: scikit-image's camera)")
    args = parser.parse_args()
    os.makedirs(args.output, exist_ok=True)

    photo = photograph(args.image)
    gradient = sobel(photo)
    tree = vexa.watershed_hierarchy(gradient, "volume")
    pictures = {
        "photo.png": photo,
        "gradient.png": 255 - grey8(gradient, 0.5),
        "saliency.png": 255 - grey8(vexa.saliency(tree), 0.25),
        "regions_10.png": mosaic(photo, tree.cut(10)),
        "regions_100.png": mosaic(photo, tree.cut(100)),
    }
    # Half size: contours and borders are kept by taking the darkest pixel
    # of each block (the saliency map has twice the photograph's size).
    khalimsky = np.pad(pictures["saliency.png"], ((0, 1), (0, 1)), constant_values=255)
    pictures["watershed_hierarchy.png"] = side_by_side(
        pooled(photo, 2, np.mean), pooled(pictures["gradient.png"], 2, np.min), pooled(khalimsky, 4, np.min),
        pooled(pictures["regions_10.png"], 2, np.min), pooled(pictures["regions_100.png"], 2, np.min))
    for name, picture in pictures.items():
        path = os.path.join(args.output, name)
        vexa.write_image(path, picture)
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
