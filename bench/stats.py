"""Medians, ratios, verdicts and the number formats of the benchmark tables:
the one place the measuring side and the renderer take them from."""
import math


def median(values):
    """The median of the numbers; nan when there are none."""
    ordered = sorted(values)
    count = len(ordered)
    if count == 0:
        return math.nan
    middle = count // 2
    if count % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2


def column(samples, index):
    """The index-th figure of each sample (a sample is a list of figures)."""
    return [sample[index] for sample in samples]


def median_of(samples, index):
    return median(column(samples, index))


def ratio(mine, floor, digits=2):
    """mine / floor as the tables print it, or "n/a" without a floor."""
    if not floor > 0:
        return "n/a"
    return f"{mine / floor:.{digits}f}"


def verdict(printed_ratio, limit):
    """"met" when the printed ratio is at or below the limit."""
    if printed_ratio == "n/a" or float(printed_ratio) > limit:
        return "**missed**"
    return "met"


def alternating(run, steps):
    """The steps in the order of this run: each run starts one step later,
    so that every step goes first as often as the others and drift cancels
    out of the ratios."""
    shift = run % len(steps)
    return list(steps[shift:]) + list(steps[:shift])


def ms(ns):
    return f"{ns / 1e6:.2f}"


def seconds(ns):
    return f"{ns / 1e9:.3f}"


def mib(kb, digits=2):
    return f"{kb / 1024:.{digits}f}"


def thousands(count):
    return f"{count / 1000:.0f}"


def plain(number):
    """A number as awk's print shows it (six significant digits)."""
    return f"{number:.6g}"
