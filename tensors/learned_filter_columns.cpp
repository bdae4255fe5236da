// The feature columns of the learned filter and their statistics: each
// node's attributes (log1p of sizes), the columns' means and spreads.
#include <cmath>
#include <stdexcept>

#include "core/runtime/interrupt.hpp"
#include "tensors/learned_filter_internal.hpp"

namespace vexa::tensors::filter {

std::vector<int> columnsOf(const std::vector<std::string>& names) {
    static const char* known[] = {"area",   "volume",   "height",     "box_height",    "box_width",
                                  "extent", "diameter", "mean_level", "rectangularity"};
    static const int codes[] = {Area,       Volume,   Height,    BoxHeight,     BoxWidth,
                                ExtentRows, Diameter, MeanLevel, Rectangularity};
    std::vector<int> columns;
    for (const std::string& name : names) {
        const auto* at = std::find(std::begin(known), std::end(known), name);
        if (at == std::end(known))
            throw std::invalid_argument("unknown attribute '" + name +
                                        "'; choose from area, volume, height, box_height, box_width, extent, "
                                        "diameter, mean_level, rectangularity");
        const int code = codes[at - std::begin(known)];
        columns.push_back(code);
        if (code == ExtentRows) columns.push_back(ExtentColumns);
    }
    return columns;
}

namespace {

// The attribute of node i that follows the pixels, before the logarithm.
inline double pixelAttributeAt(int a, const Tree& t, double sign, size_t i) {
    switch (a) {
        case Volume:
            return sign * (t.totals[i].sum - t.area(i) * t.levelAbove(i));
        case Height:
            return sign * (t.level[t.extreme[i]] - t.levelAbove(i));
        default:
            return t.totals[i].sum / t.area(i);  // mean level
    }
}

// log1p of the whole numbers below this comes from a table.
constexpr uint32_t kLogTableSize = 4096;

const double* logTable() {
    static const std::vector<double> table = [] {
        std::vector<double> values(kLogTableSize);
        for (size_t k = 0; k < values.size(); ++k) values[k] = std::log1p(double(k));
        return values;
    }();
    return table.data();
}

// log1p(c) of a count or an extent, mostly small.
inline double logCount(uint32_t c, const double* table) {
    return c < kLogTableSize ? table[c] : std::log(1.0 + double(c));
}

// Column j's features of nodes [begin, end): one loop per attribute, so
// that each loop is short and free of the choice between attributes.
void fillColumn(Tree& t, int a, size_t j, double sign, size_t begin, size_t end) {
    double* f = t.feature[j].data();
    const double* table = logTable();
    switch (a) {
        case Area:
            for (size_t i = begin; i < end; ++i) f[i] = logCount(t.totals[i].area, table);
            break;
        case BoxHeight:
        case ExtentRows:
            for (size_t i = begin; i < end; ++i) f[i] = logCount(t.rows(i), table);
            break;
        case BoxWidth:
        case ExtentColumns:
            for (size_t i = begin; i < end; ++i) f[i] = logCount(t.columns(i), table);
            break;
        case Diameter:
            for (size_t i = begin; i < end; ++i) f[i] = logCount(std::max(t.rows(i), t.columns(i)), table);
            break;
        case Rectangularity:
            for (size_t i = begin; i < end; ++i) f[i] = t.area(i) / (double(t.rows(i)) * double(t.columns(i)));
            break;
        default: {  // follows the pixels
            double* slope = t.slope[j].data();
            if (!isSize(a)) {
                for (size_t i = begin; i < end; ++i) {
                    f[i] = pixelAttributeAt(a, t, sign, i);
                    slope[i] = 1.0;
                }
                break;
            }
            // log1p(|v|) = log(u) |v| / (u - 1) with u = 1 + |v|, to a few ulps
            // (Goldberg, "What every computer scientist should know about
            // floating-point arithmetic", theorem 4): log1p costs about three
            // logs. The divisions first, in a loop free of calls that
            // overlaps them, then the logarithms.
            double ratio[kBlock];
            for (size_t i = begin; i < end; ++i) {
                const double v = pixelAttributeAt(a, t, sign, i), magnitude = std::abs(v), u = 1.0 + magnitude;
                slope[i] = double((v > 0) - (v < 0)) / u;  // d log1p(|v|) / dv, 0 at 0 as torch's abs has it
                f[i] = u;
                ratio[i - begin] = u == 1.0 ? magnitude : magnitude / (u - 1.0);
            }
            for (size_t i = begin; i < end; ++i)
                f[i] = f[i] == 1.0 ? ratio[i - begin] : std::log(f[i]) * ratio[i - begin];
        }
    }
}

// A column's count, total, mean and sum of squared deviations from the mean,
// gathered block by block while each block is in cache: blocks merge as in
// Chan, Golub and LeVeque's pairwise update of the variance. Within a block
// the deviations are taken from its first value, so that a constant column
// has exactly its value as mean and 0 as variance, where a mean rounded
// from the total would leave a tiny variance that blows the column up.
struct ColumnStats {
    double count = 0, total = 0, mean = 0, squares = 0;

    void add(const double* values, size_t k) {
        const double first = values[0];
        // Four running sums of each kind: one would make each step wait for
        // the previous one.
        double sums[4] = {0, 0, 0, 0}, shifted[4] = {0, 0, 0, 0}, shiftedSquares[4] = {0, 0, 0, 0};
        size_t i = 0;
        for (; i + 4 <= k; i += 4)
            for (size_t r = 0; r < 4; ++r) {
                const double d = values[i + r] - first;
                sums[r] += values[i + r];
                shifted[r] += d;
                shiftedSquares[r] += d * d;
            }
        for (; i < k; ++i) {
            const double d = values[i] - first;
            sums[0] += values[i];
            shifted[0] += d;
            shiftedSquares[0] += d * d;
        }
        auto sumOf4 = [](const double* s) { return (s[0] + s[1]) + (s[2] + s[3]); };
        const double shiftedSum = sumOf4(shifted), blockMean = first + shiftedSum / double(k);
        const double blockSquares = std::max(0.0, sumOf4(shiftedSquares) - shiftedSum * shiftedSum / double(k));
        const double merged = count + double(k), delta = blockMean - mean;
        squares += blockSquares + delta * delta * count * double(k) / merged;
        mean += delta * (double(k) / merged);  // the first block's mean exactly
        total += sumOf4(sums);
        count = merged;
    }
};

// Column j's mean and spread; a constant column's spread is 1, so that its
// standardised feature is exactly 0.
void standardise(Tree& t, size_t j, const ColumnStats& stats) {
    const double var = stats.squares / stats.count;
    t.constant[j] = !(var > 0);
    t.mean[j] = t.constant[j] ? stats.mean : stats.total / stats.count;
    t.spread[j] = t.constant[j] ? 1.0 : std::sqrt(var);
}

}  // namespace

void computeColumns(Tree& t, const std::vector<int>& columns, double sign) {
    const size_t width = columns.size(), n = t.numNodes();
    t.feature.assign(width, {});
    t.slope.assign(width, {});
    t.mean.assign(width, 0.0);
    t.spread.assign(width, 1.0);
    t.constant.assign(width, true);
    t.counts.resize(n);
    for (size_t j = 0; j < width; ++j) {
        t.feature[j].resize(n);
        if (followsPixels(columns[j])) t.slope[j].resize(n);
    }
    std::vector<ColumnStats> stats(width);
    InterruptPoll poll;
    for (size_t begin = 0; begin < n; begin += kBlock) {
        const size_t end = std::min(n, begin + kBlock);
        for (size_t i = begin; i < end; ++i) t.counts[i] = {t.totals[i].compact, t.totals[i].area};
        for (size_t j = 0; j < width; ++j) {
            fillColumn(t, columns[j], j, sign, begin, end);
            stats[j].add(t.feature[j].data() + begin, end - begin);
        }
        poll.step(uint32_t(end - begin));
    }
    for (size_t j = 0; j < width; ++j) standardise(t, j, stats[j]);
}

}  // namespace vexa::tensors::filter
