#!/usr/bin/env python3
"""Reference figures for the pooling tests, computed independently with mpmath at 50 digits.

REML tau2 is found by maximising the restricted log-likelihood directly: its values on 0 and a
geometric grid (30 a decade, past every possible maximum) pick out each local maximum, each is
solved by bisection on the likelihood's derivative (numerical, from the likelihood, not Fisher
scoring), and the highest wins. Usage: pooling_reference.py
b1 se1 b2 se2 ... (no arguments: Greenland and Longnecker's Table 3 slopes)."""
import sys
from mpmath import mp, mpf, sqrt, erfc, gammainc, log, diff

mp.dps = 50
TABLE3 = ".00434 .00247 .0109 .0041 .0284 .00564 .118 .0476 .0121 .00429 .087 .0232 .00311 .00373 " \
         "0 .0094 .00597 .00658 .0479 .0205 .0389 .00768 .203 .0946 -.00673 .00419 .0111 .00481 " \
         ".0148 .00635 -.000787 .00867".split()


def summary(b, v, tau2):
    w = [1 / (vi + tau2) for vi in v]
    mu = sum(wi * bi for wi, bi in zip(w, b)) / sum(w)
    se = sqrt(1 / sum(w))
    z = mu / se
    return dict(est=mu, se=se, lo=mu - mpf('1.959963984540054') * se,
                hi=mu + mpf('1.959963984540054') * se, z=z, p=erfc(abs(z) / sqrt(2)), tau2=tau2,
                wpct=[100 * wi / sum(w) for wi in w])


def restricted_loglik(b, v, tau2):
    w = [1 / (vi + tau2) for vi in v]
    mu = sum(wi * bi for wi, bi in zip(w, b)) / sum(w)
    return -(sum(log(vi + tau2) for vi in v) + log(sum(w))
             + sum(wi * (bi - mu) ** 2 for wi, bi in zip(w, b))) / 2


def reml(b, v):
    score = lambda t: diff(lambda s: restricted_loglik(b, v, s), t)
    lo, hi = min(v) / 10 ** 6, 1000 * (max(v) + (max(b) - min(b)) ** 2)
    n = int(mp.ceil(mp.log10(hi / lo) * 30))
    grid = [mpf(0)] + [lo * (hi / lo) ** (mpf(i) / n) for i in range(n + 1)]
    ll = [restricted_loglik(b, v, t) for t in grid]
    best_t, best = mpf(0), ll[0]
    for j in range(1, len(grid) - 1):
        if ll[j] >= ll[j - 1] and ll[j] >= ll[j + 1]:
            a, c = grid[j - 1], grid[j + 1]
            for _ in range(200):
                mid = (a + c) / 2
                a, c = (mid, c) if score(mid) > 0 else (a, mid)
            t = (a + c) / 2
            if restricted_loglik(b, v, t) > best:
                best_t, best = t, restricted_loglik(b, v, t)
    return best_t


def main(args):
    vals = [mpf(a) for a in (args or TABLE3)]
    b, se = vals[0::2], vals[1::2]
    v = [s * s for s in se]
    k = len(b)
    fe = summary(b, v, 0)
    w = [1 / vi for vi in v]
    q = sum(wi * (bi - fe['est']) ** 2 for wi, bi in zip(w, b))
    df = k - 1
    dl_tau2 = max(mpf(0), (q - df) / (sum(w) - sum(wi * wi for wi in w) / sum(w)))
    print('Q %.17g df %d p %.17g I2 %.17g' % (q, df, gammainc(mpf(df) / 2, q / 2, regularized=True),
                                               max(0, (q - df) / q) * 100 if q > 0 else 0))
    for name, s in (('fixed', fe), ('dl', summary(b, v, dl_tau2)), ('reml', summary(b, v, reml(b, v)))):
        print(name, ' '.join('%s %.17g' % (key, s[key]) for key in ('est', 'se', 'lo', 'hi', 'z', 'p', 'tau2')))
        print('   weights%', ' '.join('%.12g' % x for x in s['wpct']))


main(sys.argv[1:])
