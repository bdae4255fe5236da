"""ConnectedFilter and component_tree_loss inside a training step, as ratios
to building the trees alone, all measured in the same run.

Usage: bench_network.py [--size 1024] [--batch 8] [--runs 5]

Each ratio is the median over interleaved rounds of the two times taken in
the same round, with the ratio of each task's best time beside it.

Images: smoothed float32 noise (many nodes, no ties), shape (batch, 1, size, size).
Prints:
- filter forward + backward on the batch / building the batch's trees;
- filter forward + backward on the batch / the same trees built one by one;
- filter forward + backward on trees prepared beforehand / building them;
- the batch's trees built together / the same trees built one by one;
- filter forward + backward on the batch / the same on each image in turn;
- loss forward + backward on one image / that image's tree built alone.
"""
import argparse

import torch

import vexa
from vexa.forests import build_trees

from measure import interleaved_times, paired_ratio


def smooth_noise(batch, size, seed=0):
    noise = torch.rand(batch, 1, size, size, generator=torch.Generator().manual_seed(seed))
    return torch.nn.functional.avg_pool2d(noise, 5, stride=1, padding=2, count_include_pad=False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    images = smooth_noise(args.batch, args.size)
    arrays = [image[0].numpy() for image in images]
    module = vexa.ConnectedFilter()
    connectivity = module.connectivity  # the trees the filter builds

    def filter_step(batch):
        batch = batch.detach().requires_grad_()  # a leaf without copying the images
        module(batch).sum().backward()
        return batch.grad

    prepared = module.prepare(images)

    def prepared_step():  # the trees built once, as when a PreparedBatch is reused
        batch = images.detach().requires_grad_()
        prepared.image = batch
        module(prepared).sum().backward()
        return batch.grad

    def loss_step(image):
        image = image.detach().requires_grad_()
        vexa.component_tree_loss(image, 5).backward()
        return image.grad

    times = interleaved_times({
        "trees together": lambda: build_trees(images[:, 0], "max", connectivity),
        "filter together": lambda: filter_step(images),
        "trees in turn": lambda: [vexa.max_tree(a, connectivity=connectivity) for a in arrays],
        "filter in turn": lambda: [filter_step(image) for image in images],
        "filter on prepared trees": prepared_step,
        "one tree": lambda: vexa.max_tree(arrays[0]),
        "loss": lambda: loss_step(images[0, 0]),
    }, args.runs)
    best = {name: min(values) for name, values in times.items()}

    def ratio(numerator, denominator, target=None):
        goal = f"  (target <= {target})" if target else ""
        return (f"{paired_ratio(times, numerator, denominator):6.2f}x "
                f"(best of each: {best[numerator] / best[denominator]:4.2f}x){goal}")

    print(f"images ({args.batch}, 1, {args.size}, {args.size}) float32, connectivity {connectivity}, "
          f"{vexa.get_num_threads()} threads, {args.runs} interleaved rounds; ratios are the median over "
          "rounds of the two times in the same round")
    print(f"trees of the batch built together (as the filter does), best {best['trees together']:7.3f} s")
    print(f"the same trees one by one (vexa.max_tree, arrays only), best {best['trees in turn']:7.3f} s")
    print(f"filter forward + backward / trees together  {ratio('filter together', 'trees together', 1.5)}")
    print(f"filter forward + backward / trees one by one {ratio('filter together', 'trees in turn')}")
    print(f"the same on prepared trees / trees together  {ratio('filter on prepared trees', 'trees together')}")
    print(f"trees together / one by one                  {ratio('trees together', 'trees in turn', 0.75)}")
    print(f"filter on the batch / image by image         {ratio('filter together', 'filter in turn', 0.75)}")
    print(f"loss forward + backward / one tree           {ratio('loss', 'one tree', 2)}")


if __name__ == "__main__":
    main()
