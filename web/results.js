// The results of a run, laid out as a paper reports them: the program's own
// figures (its CSV report, summary table and results paragraph), rounded for
// reading by FIGURES and given in full on hover or with "full precision".
// Nothing is computed here: every figure shown is one the program wrote.
'use strict';

const RESULTS = (() => {
  const $ = (id) => document.getElementById(id);
  const decoder = new TextDecoder();
  const state = { full: false, shown: null, studies: { header: [], rows: [], first: 0, order: null } };
  const PAGE_ROWS = 100;
  const LONG_MESSAGE = 90;

  // Models as a sentence names them, and shorter in a table's cells.
  const MODELS = {
    fixed: 'Fixed effect', dl: 'Random effects (DerSimonian-Laird)', reml: 'Random effects (REML)',
    moments: 'Random effects (method of moments)', ols: 'Least squares',
  };
  const SHORT = { dl: 'DerSimonian-Laird', reml: 'REML', moments: 'Method of moments' };
  const ANALYSES = {
    'knapp-hartung': 'Knapp-Hartung limits of the random-effects summaries',
    'leave-one-out': 'Leaving out one study at a time',
    egger: "Egger's test for small-study effects (intercept)",
    subgroup: 'Subgroups',
    'subgroup-difference': 'Difference between subgroups',
    'highest-vs-lowest': 'Highest versus lowest category',
    'highest-vs-lowest-knapp-hartung': 'Highest versus lowest category, Knapp-Hartung limits',
    'meta-regression': 'Meta-regression', 'meta-regression-test': 'Meta-regression: test of the moderators',
    'meta-regression-residual': 'Meta-regression: residual heterogeneity',
    'trim-and-fill': 'Trim and fill', 'trim-and-fill-filled': 'Trim and fill: the studies filled in',
    'rank-test': "Begg's rank test", 'goodness-of-fit': 'Goodness of fit of the pooled curve',
    'goodness-of-fit-residual': 'Goodness of fit: each study',
    'trend-subgroup-difference': 'Difference of the pooled curve between subgroups',
  };
  // Analyses whose RR compares two categories rather than being per dose.
  const NOT_PER_DOSE = ['highest-vs-lowest', 'highest-vs-lowest-knapp-hartung'];
  // The rows of the pooled curve, laid out together; any other trend-* analysis
  // is shown as the others are.
  const CURVE = ['trend', 'trend-heterogeneity', 'trend-nonlinearity', 'trend-overall', 'trend-prediction'];
  // How a summary column reads: its heading and its kind of figure.
  const COLUMNS = {
    subgroup: ['Subgroup', 'text'], model: ['Model', 'model'], k: ['Studies', 'text'],
    z: ['z', 'statistic'], t: ['t', 'statistic'], t_df: ['df of t', 'text'], p: ['p', 'p'],
    tau2: ['\u03c4\u00b2', 'figure'], Q: ['Q', 'statistic'], df: ['df', 'text'], p_Q: ['p of Q', 'p'],
    I2: ['I\u00b2', 'percent'], coefficient: ['Coefficient', 'text'], chi2: ['\u03c7\u00b2', 'statistic'],
    chi2_df: ['df', 'text'], dose: ['Dose', 'figure'], reference_dose: ['Against dose', 'figure'],
    note: ['Note', 'text'],
  };
  // The measure per increment: the column after "increment" names it (rr; md or
  // smd for means), with its limits and its prediction interval's.
  let measure = {};
  function setMeasure(header) {
    const at = header.indexOf('increment');
    const code = at >= 0 && /^[a-z]+$/.test(header[at + 1] || '') && header[at + 1] !== 'note' ? header[at + 1] : 'rr';
    measure = {
      code, lower: `${code}_lower`, upper: `${code}_upper`, piLower: `pi_${code}_lower`, piUpper: `pi_${code}_upper`,
      name: code.toUpperCase(),
    };
  }
  setMeasure([]);
  // Read together into one cell (an estimate with its limits), or in a heading.
  const joined = () => ['analysis', 'left_out_input', 'left_out_id', 'estimate', 'se', 'lower', 'upper',
    'increment', 'pi_lower', 'pi_upper', measure.code, measure.lower, measure.upper, measure.piLower, measure.piUpper];

  // ---- cells: a figure rounded, its full text on hover ----

  function cell(tag, text, className) {
    const c = document.createElement(tag);
    c.textContent = text;
    if (className) {
      c.className = className;
    }
    return c;
  }

  const has = (text) => text !== undefined && text !== '';

  function rounded(text, kind) {
    if (!has(text) || state.full || kind === 'text') {
      return text || '';
    }
    const x = Number(text);
    if (!Number.isFinite(x)) {
      return text;
    }
    const round = { p: FIGURES.p, percent: FIGURES.percent, statistic: FIGURES.statistic };
    return kind === 'model' ? text : (round[kind] || FIGURES.figure)(x);
  }

  // A figure's cell: rounded text, the program's own in its title.
  function figureCell(text, kind, className) {
    const c = cell('td', kind === 'model' ? SHORT[text] || MODELS[text] || text : rounded(text, kind), className);
    if (has(text) && kind !== 'text' && kind !== 'model') {
      c.title = `as the program wrote it: ${text}`;
    }
    return c;
  }

  // "1.07 (1.04 to 1.10)", an RR with its limits (or a slope with its limits).
  function intervalText(estimate, lower, upper, ratio) {
    if (!has(estimate)) {
      return '';
    }
    if (state.full) {
      return has(lower) ? `${estimate} (${lower} to ${upper})` : estimate;
    }
    if (!has(lower)) {
      return ratio ? FIGURES.fixed(Number(estimate), 2) : FIGURES.figure(Number(estimate));
    }
    if (ratio) {
      const t = FIGURES.interval(Number(estimate), Number(lower), Number(upper));
      return `${t.estimate} (${t.lower} to ${t.upper})`;
    }
    return `${FIGURES.figure(Number(estimate))} (${FIGURES.figure(Number(lower))} to ${FIGURES.figure(Number(upper))})`;
  }

  function intervalCell(row, names, ratio) {
    const [e, l, u] = names.map((n) => row[n]);
    const c = cell('td', intervalText(e, l, u, ratio), 'interval');
    if (has(e)) {
      c.title = `as the program wrote it: ${[e, l, u].filter(has).join(', ')}`;
    }
    return c;
  }

  // "1.03 to 1.10": limits alone (a prediction interval), RR limits with the
  // decimals of the row's RR.
  function limitsCell(row, lower, upper, ratio) {
    const [l, u] = [row[lower], row[upper]];
    let text = '';
    if (has(l) && state.full) {
      text = `${l} to ${u}`;
    } else if (has(l) && ratio) {
      const e = row[measure.code];
      const t = FIGURES.interval(Number(has(e) ? e : l), Number(l), Number(u));
      text = `${t.lower} to ${t.upper}`;
    } else if (has(l)) {
      text = `${FIGURES.figure(Number(l))} to ${FIGURES.figure(Number(u))}`;
    }
    const c = cell('td', text, 'interval');
    if (has(l)) {
      c.title = `as the program wrote it: ${l}, ${u}`;
    }
    return c;
  }

  // "RR per 10 g/day", "RR per unit of dose".
  function perText(increment) {
    const unit = CONTROLS.value('unit').trim();
    const named = unit !== '' && !/\bper\b/i.test(unit) ? unit : '';
    if (!has(increment) || Number(increment) === 1) {
      return `per ${named || 'unit of dose'}`;
    }
    return `per ${increment} ${named || 'units of dose'}`;
  }

  // ---- tables ----

  // A table in a box that scrolls sideways when narrow, reachable by the
  // keyboard; `caption` shows, `label` only names it.
  function table(caption, headings, rows, label = caption) {
    const t = document.createElement('table');
    if (caption) {
      t.createCaption().textContent = caption;
    }
    const head = t.createTHead().insertRow();
    for (const h of headings) {
      const th = cell('th', h);
      th.scope = 'col';
      head.append(th);
    }
    const body = t.createTBody();
    for (const cells of rows) {
      const tr = body.insertRow();
      tr.append(...cells);
    }
    const box = cell('div', '', 'scroll');
    box.tabIndex = 0;
    box.setAttribute('role', 'region');
    box.setAttribute('aria-label', label);
    box.append(t);
    return box;
  }

  // Rows of the summary table, one small table: the columns that hold a figure
  // in some row, estimates with their limits in one cell.
  function summaryTable(label, rows) {
    const filled = (name) => rows.some((r) => has(r[name]));
    const columns = [];
    if (filled('left_out_id') || filled('left_out_input')) {
      columns.push(['Left out', (r) => cell('td', [r.left_out_input, r.left_out_id].filter(has).join(': '))]);
    }
    const ordered = Object.keys(rows[0]).filter((n) => !joined().includes(n) && filled(n));
    const first = ordered.filter((n) => ['subgroup', 'model', 'k', 'coefficient', 'dose'].includes(n));
    for (const name of first) {
      columns.push([COLUMNS[name][0], (r) => figureCell(r[name], COLUMNS[name][1])]);
    }
    const scaled = filled(measure.code);
    const perDose = !NOT_PER_DOSE.includes(rows[0].analysis);
    if (scaled) {
      const per = perDose ? ` ${perText(rows.find((r) => has(r[measure.code])).increment)}` : '';
      columns.push([`${measure.name}${per} (95% CI)`,
        (r) => intervalCell(r, [measure.code, measure.lower, measure.upper], true)]);
    }
    const slope = () => columns.push([!scaled ? 'Estimate (95% CI)' : perDose ? 'Slope (95% CI)' : `log ${measure.name} (95% CI)`,
      (r) => intervalCell(r, ['estimate', 'lower', 'upper'], false)]);
    if (filled('estimate') && !scaled) {
      slope();
    }
    // As a paper reports them: p, tau^2, I^2, Q with df and p, the prediction
    // interval; then the slope and the rest.
    const figure = (name) => {
      const [heading, kind] = COLUMNS[name] || [name, 'figure'];
      columns.push([heading, (r) => figureCell(r[name], kind)]);
    };
    const reported = ['p', 'tau2', 'I2', 'Q', 'df', 'p_Q'].filter((n) => ordered.includes(n));
    reported.forEach(figure);
    if (filled(measure.piLower)) {
      columns.push([`95% prediction interval (${measure.name})`, (r) => limitsCell(r, measure.piLower, measure.piUpper, true)]);
    } else if (filled('pi_lower')) {
      columns.push(['95% prediction interval (slope)', (r) => limitsCell(r, 'pi_lower', 'pi_upper', false)]);
    }
    if (filled('estimate') && scaled) {
      slope();
    }
    ordered.filter((n) => !first.includes(n) && !reported.includes(n) && n !== 'note').forEach(figure);
    if (filled('note')) {
      columns.push(['Note', (r) => messageCell(r.note)]);
    }
    return table('', columns.map((c) => c[0]), rows.map((r) => columns.map((c) => c[1](r))), label);
  }

  // ---- the sections ----

  function showMessages(err) {
    const list = $('messages');
    list.replaceChildren();
    const lines = decoder.decode(err).split('\n').filter((l) => l !== '');
    for (const line of lines) {
      const kind = /^Morvex: (?:.*?:\d+: )?(note|warning): /.exec(line);
      const item = document.createElement('li');
      item.className = kind ? kind[1] : 'refusal';
      item.append(cell('span', kind ? (kind[1] === 'note' ? 'Note' : 'Warning') : 'Refused or stopped', 'badge'), ' ',
        cell('span', line, 'line'));
      list.append(item);
    }
    $('messages-box').hidden = lines.length === 0;
  }

  function sentence(row) {
    const ratio = has(row[measure.code]);
    const [e, l, u] = ratio ? [row[measure.code], row[measure.lower], row[measure.upper]]
      : [row.estimate, row.lower, row.upper];
    const what = ratio ? `${measure.name} ${perText(row.increment)}` : 'slope';
    const shown = state.full ? `${e} (95% CI ${l} to ${u})`
      : intervalText(e, l, u, ratio).replace('(', '(95% CI ');
    const i2 = has(row.I2) ? `, I\u00b2 ${rounded(row.I2, 'percent')}` : '';
    return `${MODELS[row.model] || row.model}: ${what} ${shown}, ${state.full ? `p = ${row.p}` : FIGURES.pSentence(Number(row.p))}${i2}, ${row.k} studies`;
  }

  function showPooled(rows, box) {
    const overall = rows.filter((r) => r.analysis === 'overall');
    if (overall.length === 0) {
      return;
    }
    box.append(cell('h3', 'Pooled slope (linear trend)'));
    const list = cell('ul', '', 'sentences');
    for (const row of overall) {
      list.append(cell('li', sentence(row)));
    }
    box.append(list, summaryTable('Pooled slope', overall));
  }

  function showCurve(rows, studyRows, box) {
    const curve = rows.filter((r) => CURVE.includes(r.analysis));
    if (curve.length === 0) {
      return;
    }
    const shape = CONTROLS.value('trend') || 'linear';
    box.append(cell('h3', `Pooled curve (${shape} trend)`));
    const het = curve.find((r) => r.analysis === 'trend-heterogeneity');
    if (het) {
      box.append(cell('p', `${het.k} studies in the pooled fit; heterogeneity about the fixed effect: I\u00b2 `
        + `${rounded(het.I2, 'percent')} (Q = ${rounded(het.Q, 'statistic')}, df = ${het.df}, `
        + `${state.full ? `p = ${het.p_Q}` : FIGURES.pSentence(Number(het.p_Q))}).`));
    }
    const predictions = curve.filter((r) => r.analysis === 'trend-prediction');
    const models = [...new Set(predictions.map((r) => r.model))];
    const doses = [...new Set(predictions.map((r) => r.dose))];
    if (doses.length > 0) {
      const reference = predictions[0].reference_dose;
      const tableRows = doses.map((dose) => [figureCell(dose, 'figure'), ...models.map((m) => {
        const r = predictions.find((x) => x.model === m && x.dose === dose);
        return intervalCell(r, [measure.code, measure.lower, measure.upper], true);
      })]);
      const what = measure.code === 'rr' ? 'relative risk' : measure.name;
      const t = table(`Pooled ${what} against dose ${rounded(reference, 'figure')} (95% CI)`,
        ['Dose', ...models.map((m) => SHORT[m] || MODELS[m] || m)], tableRows);
      t.id = 'curve-table';
      box.append(t);
    }
    const tests = ['trend-nonlinearity', 'trend-overall'].map((a) => curve.filter((r) => r.analysis === a));
    const testModels = [...new Set(tests.flat().map((r) => r.model))];
    if (testModels.length > 0) {
      const testCell = (list, m) => {
        const r = list.find((x) => x.model === m);
        const c = cell('td', r ? `${state.full ? `p = ${r.p}` : FIGURES.pSentence(Number(r.p))} `
          + `(\u03c7\u00b2 = ${rounded(r.chi2, 'statistic')}, df = ${r.chi2_df})` : '');
        if (r) {
          c.title = `as the program wrote it: p = ${r.p}, chi2 = ${r.chi2}`;
        }
        return c;
      };
      const t = table('Wald tests', ['Model', 'Non-linearity', 'No trend (all coefficients 0)'],
        testModels.map((m) => [cell('td', SHORT[m] || MODELS[m] || m), testCell(tests[0], m), testCell(tests[1], m)]));
      t.id = 'wald-tests';
      box.append(t);
    }
    const coefficients = curve.filter((r) => r.analysis === 'trend');
    if (coefficients.length > 0) {
      const details = document.createElement('details');
      details.append(cell('summary', 'Coefficients of the pooled trend'),
        summaryTable('Coefficients of the pooled trend', coefficients));
      box.append(details);
    }
    const header = state.studies.header;
    const note = header.indexOf('trend_note');
    const without = note < 0 ? [] : studyRows.filter((r) => r[note] !== '');
    if (without.length > 0) {
      box.append(cell('p', `Studies not in the pooled curve (${without.length}):`));
      const list = cell('ul', '', 'left-out');
      for (const r of without) {
        list.append(cell('li', `${studyName(r)}: ${r[note]}`));
      }
      box.append(list);
    }
  }

  function showAnalyses(rows, box) {
    const others = rows.filter((r) => r.analysis !== 'overall' && !CURVE.includes(r.analysis));
    for (const name of [...new Set(others.map((r) => r.analysis))]) {
      const title = ANALYSES[name] || name;
      box.append(cell('h3', title), summaryTable(title, others.filter((r) => r.analysis === name)));
    }
  }

  // ---- the studies, a page of rows at a time ----

  const column = (name) => state.studies.header.indexOf(name);
  function studyName(r) {
    const inputs = new Set(state.studies.rows.map((x) => x[column('input')]));
    const id = r[column('id')];
    return id === '' ? r[column('input')] : inputs.size > 1 ? `${r[column('input')]}: ${id}` : id;
  }

  function messageCell(text) {
    const c = cell('td', '', 'message');
    if (text.length <= LONG_MESSAGE) {
      c.textContent = text;
      return c;
    }
    const details = document.createElement('details');
    details.append(cell('summary', `${text.slice(0, LONG_MESSAGE - 30)}\u2026`), cell('div', text));
    c.append(details);
    return c;
  }

  // Each shown column: heading, cell maker, sort key.
  function studyColumns() {
    const at = (name) => (r) => r[column(name)];
    const number = (name) => (r) => Number(r[column(name)] || NaN);
    const notes = (r) => ['message', 'warnings', 'trend_note'].map((n) => (column(n) < 0 ? '' : r[column(n)]))
      .filter(has).join(' ');
    const columns = [
      ['Study', (r) => cell('td', studyName(r)), studyName],
      ['Design', (r) => cell('td', at('design')(r)), at('design')],
      ['Categories', (r) => cell('td', at('categories')(r)), number('categories')],
    ];
    const { code, lower, upper, name } = measure;
    if (column(code) >= 0) {
      const increment = state.studies.rows.map(at('increment')).find(has);
      columns.push([`${name} ${perText(increment)} (95% CI)`, (r) => intervalCell(
        { e: at(code)(r), lo: at(lower)(r), hi: at(upper)(r) }, ['e', 'lo', 'hi'], true), number(code)]);
    }
    columns.push(['Slope (95% CI)', (r) => intervalCell({ b: at('beta')(r), lo: at('lower')(r), hi: at('upper')(r) },
      ['b', 'lo', 'hi'], false), number('beta')]);
    columns.push(['p', (r) => figureCell(at('p')(r), 'p'), number('p')]);
    columns.push(['Status', (r) => cell('td', at('status')(r)), at('status')]);
    columns.push(['Notes', (r) => messageCell(notes(r)), notes]);
    return columns;
  }

  function showStudyRows() {
    const { rows, first } = state.studies;
    const columns = studyColumns();
    const body = document.createElement('tbody');
    for (const r of rows.slice(first, first + PAGE_ROWS)) {
      const tr = body.insertRow();
      tr.className = r[column('status')];
      tr.append(...columns.map((c) => c[1](r)));
    }
    const t = $('studies');
    if (t.tBodies[0]) {
      t.tBodies[0].replaceWith(body);
    } else {
      t.append(body);
    }
    const last = Math.min(first + PAGE_ROWS, rows.length);
    $('study-count').textContent = `Studies ${first + 1} to ${last} of ${rows.length}.`;
    $('previous-rows').disabled = first === 0;
    $('next-rows').disabled = last >= rows.length;
  }

  function sortStudies(index, th) {
    const ascending = th.getAttribute('aria-sort') !== 'ascending';
    for (const other of th.parentElement.cells) {
      other.removeAttribute('aria-sort');
    }
    th.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
    state.studies.order = [index, ascending];
    const key = studyColumns()[index][2];
    state.studies.rows.sort((a, b) => {
      const [x, y] = [key(a), key(b)];
      const missing = (v) => v === '' || Number.isNaN(v);
      if (missing(x) || missing(y)) {
        return missing(x) - missing(y); // empty cells last either way
      }
      const order = typeof x === 'number' ? x - y : String(x).localeCompare(String(y));
      return ascending ? order : -order;
    });
    state.studies.first = 0;
    showStudyRows();
  }

  function showStudies() {
    const t = $('studies');
    t.replaceChildren();
    $('studies-box').hidden = state.studies.rows.length === 0;
    if (state.studies.rows.length === 0) {
      return;
    }
    const head = t.createTHead().insertRow();
    studyColumns().forEach(([title], index) => {
      const th = cell('th', '');
      th.scope = 'col';
      const button = cell('button', title);
      button.type = 'button';
      button.addEventListener('click', () => sortStudies(index, th));
      th.append(button);
      head.append(th);
    });
    showStudyRows();
  }

  function turnPage(step) {
    const { rows } = state.studies;
    state.studies.first = Math.max(0, Math.min(state.studies.first + step * PAGE_ROWS, rows.length - 1));
    showStudyRows();
  }

  // ---- all of it ----

  function summaryRows(file) {
    const rows = file ? CSV.parse(decoder.decode(file.bytes)) : [];
    const header = rows.shift() || [];
    if (header.length > 0) {
      setMeasure(header);
    }
    return rows.filter((r) => r.length === header.length)
      .map((r) => Object.fromEntries(header.map((name, i) => [name, r[i]])));
  }

  // Lays out a run's result; `again` keeps the studies' order and page (the
  // full-precision switch).
  function show(result, again = false) {
    state.shown = result;
    if (!again) {
      const rows = CSV.parse(decoder.decode(result.out));
      state.studies.header = rows.length > 0 && rows[0][0] === 'input' ? rows.shift() : [];
      state.studies.rows = rows.filter((r) => r.length === state.studies.header.length);
      state.studies.first = 0;
    }
    setMeasure(state.studies.header);
    showMessages(result.err);
    const paragraph = result.files.find((f) => f.option === '--paragraph');
    $('paragraph-box').hidden = !paragraph;
    $('paragraph').textContent = paragraph ? decoder.decode(paragraph.bytes) : '';
    const summary = summaryRows(result.files.find((f) => f.option === '--summary'));
    const box = $('pooled-box');
    box.replaceChildren();
    showCurve(summary, state.studies.rows, box);
    showPooled(summary, box);
    showAnalyses(summary, box);
    box.hidden = box.childElementCount === 0;
    showStudies();
  }

  function setFull(full) {
    state.full = full;
    if (state.shown) {
      const { first } = state.studies;
      show(state.shown, true);
      state.studies.first = first;
      showStudyRows();
    }
  }

  return { show, setFull, turnPage, cell };
})();
