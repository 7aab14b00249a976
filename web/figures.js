// Figures as a paper prints them: the program's full-precision text rounded
// for reading by the one rule of its results paragraph (README, "Figures as a
// paper prints them"). Rounding is exact, halves to even, as printf rounds: a
// number is taken apart into its binary mantissa and exponent and scaled in
// integers, so that 1.125 to two decimals is 1.12 here as in the program.
'use strict';

const FIGURES = (() => {
  const view = new DataView(new ArrayBuffer(8));

  // |x| as m * 2^e, m and e integers (BigInt m).
  function parts(x) {
    view.setFloat64(0, Math.abs(x));
    const high = view.getUint32(0);
    const biased = (high >>> 20) & 0x7ff;
    let m = (BigInt(high & 0xfffff) << 32n) | BigInt(view.getUint32(4));
    if (biased !== 0) {
      m |= 1n << 52n;
    }
    return [m, (biased === 0 ? 1 : biased) - 1075];
  }

  // |x| * 10^k rounded to an integer, halves to even.
  function scaled(x, k) {
    const [m, e] = parts(x);
    let num = m;
    let den = 1n;
    if (e >= 0) {
      num <<= BigInt(e);
    } else {
      den <<= BigInt(-e);
    }
    if (k >= 0) {
      num *= 10n ** BigInt(k);
    } else {
      den *= 10n ** BigInt(-k);
    }
    let q = num / den;
    const twice = 2n * (num % den);
    if (twice > den || (twice === den && (q & 1n) === 1n)) {
      q += 1n;
    }
    return q;
  }

  const negative = (x) => x < 0 || Object.is(x, -0);

  // As printf's "%.{d}f".
  function fixed(x, d) {
    let digits = scaled(x, d).toString();
    if (d > 0) {
      digits = digits.padStart(d + 1, '0');
      digits = `${digits.slice(0, -d)}.${digits.slice(-d)}`;
    }
    return (negative(x) ? '-' : '') + digits;
  }

  // As printf's "%.{precision}g".
  function general(x, precision) {
    if (x === 0) {
      return negative(x) ? '-0' : '0';
    }
    let exponent = Math.floor(Math.log10(Math.abs(x)));
    let q = scaled(x, precision - 1 - exponent);
    if (q >= 10n ** BigInt(precision)) {
      exponent += 1;
      q = scaled(x, precision - 1 - exponent);
    } else if (q < 10n ** BigInt(precision - 1)) {
      exponent -= 1;
      q = scaled(x, precision - 1 - exponent);
    }
    const trim = (text) => (text.includes('.') ? text.replace(/\.?0+$/, '') : text);
    if (exponent >= -4 && exponent < precision) {
      return trim(fixed(x, precision - 1 - exponent));
    }
    const digits = q.toString();
    const mantissa = trim(`${digits[0]}.${digits.slice(1)}`);
    const power = String(Math.abs(exponent)).padStart(2, '0');
    return `${negative(x) ? '-' : ''}${mantissa}e${exponent < 0 ? '-' : '+'}${power}`;
  }

  // A p-value: "< 0.001", "0.018", "0.34", "> 0.99"; "n/a" for none.
  function p(value) {
    if (!(value >= 0)) {
      return 'n/a';
    }
    if (value < 0.001) {
      return '< 0.001';
    }
    if (value >= 0.995) {
      return '> 0.99';
    }
    return fixed(value, value < 0.0995 ? 3 : 2);
  }

  // "p < 0.001", "p = 0.34": p in a sentence.
  const pSentence = (value) => (/^[<>]/.test(p(value)) ? `p ${p(value)}` : `p = ${p(value)}`);

  // An RR and its limits: the fewest decimals, two to four, that keep the
  // three apart (two when the limits are equal).
  function interval(estimate, lower, upper) {
    let shown;
    for (let d = 2; d <= 4; d += 1) {
      shown = { estimate: fixed(estimate, d), lower: fixed(lower, d), upper: fixed(upper, d) };
      if (lower === upper || (shown.lower !== shown.estimate && shown.estimate !== shown.upper)) {
        break;
      }
    }
    return shown;
  }

  const percent = (value) => `${fixed(value, 0)}%`;
  const statistic = (value) => fixed(value, 2);
  const figure = (value) => (Math.abs(value) >= 999.5 ? fixed(value, 0) : general(value, 3));

  return { fixed, general, p, pSentence, interval, percent, statistic, figure };
})();

if (typeof module !== 'undefined') {
  module.exports = FIGURES;
}
