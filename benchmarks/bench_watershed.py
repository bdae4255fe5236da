"""Times vexa.watershed_hierarchy and vexa.saliency against Higra per core
(when ../shared/peers or the environment has it) and against a stable
argsort of the same edge weights, in one run.

Usage: bench_watershed.py [--rounds 3] [--side 2048] [--volume-side 256]

1. A 2048² natural image: the Sobel gradient magnitude (float64) of the
   bundled photograph upscaled bilinearly; the hierarchy by area, volume and
   dynamics (4-adjacency, mean edge weights), and the saliency map of the one
   by volume on the Khalimsky grid.
2. A smooth volume (Gaussian-filtered noise, float32), 6-adjacency, by area.

vexa runs on one thread (vexa.set_num_threads(1)); Higra is single-threaded.
For per-core ratios pin the process to one core (taskset -c 0). Higra's
times include weighting its graph (hg.weight_graph), not building the graph
(reusable); it builds the same binary tree (canonize_tree=False, its faster
setting). Its saliency map is hg.graph_4_adjacency_2_khalimsky of
hg.saliency on its own tree, its cache of lowest common ancestors cleared
before each call. The argsort is numpy's stable argsort of the
float64 edge weights: "/argsort" is the hierarchy's time over it.

Tasks take turns within each round; times are medians over rounds, ratios
medians of the per-round ratios. "-" where Higra is absent.
"""
import argparse
import os
import statistics
import sys

import numpy as np
import torch

import vexa
from measure import interleaved_times, paired_ratio

PEERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "peers")
if os.path.isdir(PEERS):
    sys.path.append(PEERS)
try:
    import higra as hg
except ImportError:
    hg = None

FUNCTIONS = ("area", "volume", "dynamics")


def sobel_gradient(side):
    from scipy import ndimage
    photo = torch.from_numpy(vexa.default_image().astype(np.float32))[None, None]
    big = torch.nn.functional.interpolate(photo, size=(side, side), mode="bilinear", align_corners=False)
    big = big[0, 0].numpy().astype(np.float64)
    return np.hypot(ndimage.sobel(big, 0), ndimage.sobel(big, 1))


def smooth_volume(side):
    from scipy import ndimage
    noise = np.random.default_rng(0).random((side,) * 3, dtype=np.float32)
    return ndimage.gaussian_filter(noise, 2.0)


def edge_weights(image):
    """The mean edge weights of the 4- or 6-adjacency, in scan order."""
    parts = [(image[tuple(slice(None, -1) if d == a else slice(None) for d in range(image.ndim))] +
              image[tuple(slice(1, None) if d == a else slice(None) for d in range(image.ndim))]) / 2
             for a in range(image.ndim)]
    return np.concatenate([p.astype(np.float64).ravel() for p in parts])


def higra_tasks(image, attributes, with_saliency):
    if hg is None:
        return {}
    graph = hg.get_4_adjacency_graph(image.shape) if image.ndim == 2 else hg.get_6_adjacency_graph(image.shape)
    functions = {"area": hg.watershed_hierarchy_by_area, "volume": hg.watershed_hierarchy_by_volume,
                 "dynamics": hg.watershed_hierarchy_by_dynamics}
    values = image.astype(np.float64)

    def hierarchy(attribute):
        return functions[attribute](graph, hg.weight_graph(graph, values, hg.WeightFunction.mean),
                                    canonize_tree=False)
    tasks = {f"higra {a}": (lambda a=a: hierarchy(a)) for a in attributes}
    if with_saliency:
        tree, altitudes = hierarchy("volume")

        def saliency():
            hg.clear_auto_cache(reference_object=tree)  # its lowest common ancestors, kept from the last call
            return hg.graph_4_adjacency_2_khalimsky(graph, hg.saliency(tree, altitudes))
        tasks["higra saliency"] = saliency
    hg.set_auto_cache_state(False)
    return tasks


def table(title, image, attributes, with_saliency, rounds):
    print(f"\n{title}")
    weights = edge_weights(image)
    tasks = {"argsort": lambda: np.argsort(weights, kind="stable")}
    for attribute in attributes:
        tasks[f"vexa {attribute}"] = lambda a=attribute: vexa.watershed_hierarchy(image, a)
    if with_saliency:
        tree = vexa.watershed_hierarchy(image, "volume")
        tasks["vexa saliency"] = lambda: vexa.saliency(tree)
    tasks.update(higra_tasks(image, attributes, with_saliency))
    times = interleaved_times(tasks, rounds)
    median = {name: statistics.median(t) for name, t in times.items()}
    print(f"{'task':<12} {'vexa s':>8} {'higra s':>8} {'higra/vexa':>10} {'/argsort':>9}")
    for name in list(attributes) + (["saliency"] if with_saliency else []):
        ours = median[f"vexa {name}"]
        theirs = f"higra {name}"
        peer = (f"{median[theirs]:8.3f} {paired_ratio(times, theirs, f'vexa {name}'):9.1f}x"
                if theirs in times else f"{'-':>8} {'-':>10}")
        print(f"{name:<12} {ours:8.3f} {peer} {paired_ratio(times, f'vexa {name}', 'argsort'):8.1f}x", flush=True)
    print(f"{'argsort':<12} {median['argsort']:8.3f}  ({weights.size} edge weights)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--side", type=int, default=2048)
    parser.add_argument("--volume-side", type=int, default=256)
    args = parser.parse_args()
    vexa.set_num_threads(1)
    print(f"higra: {'present' if hg is not None else 'absent'}; cores allowed: {len(os.sched_getaffinity(0))}")
    table(f"1. Sobel gradient of the photograph upscaled to {args.side}² (float64, 4-adjacency)",
          sobel_gradient(args.side), FUNCTIONS, True, args.rounds)
    table(f"2. Smooth volume {args.volume_side}³ (float32, 6-adjacency)", smooth_volume(args.volume_side),
          ("area",), False, args.rounds)


if __name__ == "__main__":
    main()
