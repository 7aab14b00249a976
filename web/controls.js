// The options' controls, made from the program's own list of its options
// (option_list_json, the list --help is tested against): an option added to the
// program appears here with no change to the page. What a control looks like
// follows from the option's value: none (a box to tick), a few words (a
// choice), FILE.ext (a file the run writes, ticked to ask for it) or anything
// else (a field).
'use strict';

const CONTROLS = (() => {
  // The page's own preferences, by option name: files it asks for unless
  // unticked. Anything else starts off, empty or at the program's default.
  const TICKED = ['plot', 'summary', 'paragraph'];
  const GROUPS = { analysis: 'Analysis', output: 'Outputs and pictures' };
  const list = [];

  const isFile = (option) => /^FILE\./.test(option.value);
  const exampleValue = (option) => option.example.slice(option.example.indexOf('=') + 1).replace(/^"|"$/g, '');

  function control(option) {
    const box = document.createElement('div');
    box.className = 'option';
    const id = `option-${option.name}`;
    const label = document.createElement('label');
    const code = document.createElement('code');
    code.textContent = `--${option.name}`;
    label.append(code, ` ${option.summary}`);
    let input;
    if (option.value === '' || isFile(option)) {
      input = document.createElement('input');
      input.type = 'checkbox';
      input.checked = isFile(option) && TICKED.includes(option.name);
      label.htmlFor = id;
      box.append(input, label);
    } else if (option.choices.length > 0) {
      input = document.createElement('select');
      input.add(new Option('(the program\u2019s default)', ''));
      for (const choice of option.choices) {
        input.add(new Option(choice, choice));
      }
      label.htmlFor = id;
      box.append(label, input);
    } else {
      input = document.createElement('input');
      input.type = 'text';
      input.spellcheck = false;
      input.autocomplete = 'off';
      input.placeholder = `e.g. ${exampleValue(option)}`;
      label.htmlFor = id;
      box.append(label, input);
    }
    input.id = id;
    input.dataset.option = option.name;
    const entry = { option, input };
    if (isFile(option)) {
      const name = document.createElement('input');
      name.type = 'text';
      name.spellcheck = false;
      name.value = exampleValue(option);
      name.id = `${id}-name`;
      name.className = 'file-name';
      name.setAttribute('aria-label', `File name for --${option.name}`);
      box.append(name);
      entry.name = name;
    }
    list.push(entry);
    return box;
  }

  // The controls, in the list's order, in a group per use; the program's own
  // options (--format, --threads, --help, --version) are the page's business.
  function build(options, into) {
    for (const [use, title] of Object.entries(GROUPS)) {
      const fieldset = document.createElement('fieldset');
      const legend = document.createElement('legend');
      legend.textContent = title;
      fieldset.append(legend);
      for (const option of options.filter((o) => o.use === use)) {
        fieldset.append(control(option));
      }
      into.append(fieldset);
    }
    // A picture is named for what it shows: the pooled curve's, unless named.
    const [trend, plot] = ['trend', 'plot'].map((n) => list.find((e) => e.option.name === n));
    if (trend && plot) {
      plot.name.addEventListener('input', () => {
        plot.name.dataset.edited = 'yes';
      });
      trend.input.addEventListener('change', () => {
        if (!plot.name.dataset.edited) {
          plot.name.value = ['quadratic', 'spline'].includes(trend.input.value) ? 'curve.svg' : exampleValue(plot.option);
        }
      });
    }
  }

  // The options as arguments, and the files asked for (their option and name).
  function read() {
    const args = [];
    const outputs = [];
    for (const { option, input, name } of list) {
      if (isFile(option)) {
        if (input.checked && name.value.trim() !== '') {
          outputs.push({ option: `--${option.name}`, name: name.value.trim() });
        }
      } else if (input.type === 'checkbox') {
        if (input.checked) {
          args.push(`--${option.name}`);
        }
      } else if (input.value.trim() !== '') {
        args.push(`--${option.name}=${input.value.trim()}`);
      }
    }
    return { args, outputs };
  }

  const value = (name) => {
    const entry = list.find((e) => e.option.name === name);
    return entry ? entry.input.value : '';
  };

  const quote = (w) => (/^[\w.,=+:/@%-]+$/.test(w) ? w : `'${w.replace(/'/g, "'\\''")}'`);
  const commandLine = (words) => ['Morvex', ...words].map(quote).join(' ');

  return { build, read, value, commandLine };
})();
