#!/usr/bin/env python3
"""Writes the C header, the reference and the bindings from bindings/dap32.toml.

    generate.py                     write every file in place
    generate.py --out DIR           write them below DIR instead, at the same relative paths
    generate.py --description FILE  read FILE instead of bindings/dap32.toml

Every file is written under a temporary name first and renamed into place only when all were
written: a description that fails validation, or a failed write, changes nothing.

tests/bindings/check_api.py imports this module, renders every file in memory and compares
it with the committed one, so a file edited by hand, or a description changed without
regenerating, fails the tests.
"""

import argparse
import os
import re
import sys
import textwrap
import tomllib

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
DESCRIPTION = os.path.join(TOP, 'bindings', 'dap32.toml')

FAMILIES = ['lifecycle', 'engine', 'session', 'files', 'local', 'parameters', 'diagnostics',
            'text']
FAMILY_TITLES = {
    'lifecycle': 'Attach and release',
    'engine': 'The driver',
    'session': 'Sessions',
    'files': 'Server files and directories',
    'local': 'The local directory',
    'parameters': 'Parameters',
    'diagnostics': 'Diagnostics',
    'text': 'Listing text',
}
ARG_TYPES = {'int32', 'uint32', 'text', 'buffer', 'inout', 'size'}
KINDS = {'connect', 'server', 'timeout'}
CODE_TABLES = ['get_integer', 'set_integer', 'string_code', 'list_type']
WRITTEN_BY = 'Written by bindings/generate.py from bindings/dap32.toml; edit those, not this file.'


class DescriptionError(Exception):
  pass


# ---- Loading ---------------------------------------------------------------------------------

def load(path=DESCRIPTION):
  with open(path, 'rb') as stream:
    api = tomllib.load(stream)
  validate(api)
  return api


# Each table's fields: (required, optional), each name with its type. An entry with a field
# missing, of another type or not listed here is refused, so that a typing slip in the
# description cannot quietly drop a field from every written file.
SCHEMA = {
    'library': ({'name': str, 'version': int, 'build': int, 'max_channels': int,
                 'calling_convention': str, 'encoding': str, 'name_limit': int,
                 'local_dir_limit': int, 'driver_waiting': int, 'listing_piece': int}, {}),
    'function': ({'name': str, 'family': str, 'ordinals': dict, 'doc': str, 'args': list,
                  'result': str, 'errors': list, 'auto_call': str},
                 {'channel': bool, 'socket_errors': bool, 'notes': list, 'entry_line': str,
                  'entry_state': int}),
    'get_integer': ({'code': int, 'constant': str, 'doc': str, 'after_attach': int}, {}),
    'set_integer': ({'code': int, 'constant': str, 'scope': str, 'default': int, 'doc': str,
                     'examples': list}, {'unit': str}),
    'string_code': ({'code': int, 'constant': str, 'function': str, 'doc': str,
                     'examples': list}, {}),
    'list_type': ({'code': int, 'constant': str, 'command': str, 'doc': str}, {}),
    'error': ({'code': int, 'text': str},
              {'constant': str, 'name': str, 'doc': str, 'reply': bool, 'kind': str}),
    'state': ({'number': int, 'doc': str}, {}),
    'log_line': ({'format': str, 'doc': str}, {}),
}
ARG_FIELDS = ({'name': str, 'type': str, 'doc': str}, {'size': str, 'nul': str})
ORDINAL_FIELDS = ({'plain': int, 'decorated': int}, {})
TYPE_NAMES = {str: 'a string', int: 'an integer', bool: 'true or false', list: 'a list',
              dict: 'a table'}
# The field that names an entry in messages.
ENTRY_KEYS = {'function': 'name', 'error': 'code', 'state': 'number', 'log_line': 'format'}


def entry_label(table, entry, index):
  key = ENTRY_KEYS.get(table, 'code')
  if isinstance(entry, dict) and isinstance(entry.get(key), (str, int)):
    return f'{table} {entry[key]}'
  return f'{table} entry {index + 1}'


def non_printable(value, path):
  """(path, character) of the first character outside printable ASCII in value, or None."""
  if isinstance(value, str):
    for character in value:
      if not ' ' <= character <= '~':
        return path, character
  elif isinstance(value, dict):
    for key, item in value.items():
      found = non_printable(item, f'{path}.{key}')
      if found:
        return found
  elif isinstance(value, list):
    for index, item in enumerate(value):
      found = non_printable(item, f'{path}[{index}]')
      if found:
        return found
  return None


def check_fields(where, entry, fields, prefix=''):
  """Raises DescriptionError naming where and the field that is missing, unknown or of the
  wrong type."""
  required, optional = fields
  if not isinstance(entry, dict):
    raise DescriptionError(f'{where}: {prefix.rstrip(".") or "the entry"} is not a table')
  for field, kind in {**required, **optional}.items():
    if field not in entry:
      if field in required:
        raise DescriptionError(f'{where}: field "{prefix}{field}" is missing')
      continue
    value = entry[field]
    # TOML's true is a Python int too: an integer field takes only integers.
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
      raise DescriptionError(f'{where}: field "{prefix}{field}" must be {TYPE_NAMES[kind]}')
  for field in entry:
    if field not in required and field not in optional:
      raise DescriptionError(f'{where}: field "{prefix}{field}" is unknown')


def check_shapes(api):
  """Every table and entry has its fields with their types, and only printable ASCII text:
  the writers put text into C, C#, Pascal and VB sources and write them as ASCII."""
  for table, fields in SCHEMA.items():
    if table not in api:
      raise DescriptionError(f'the table "{table}" is missing')
    entries = [api[table]] if table == 'library' else api[table]
    if not isinstance(entries, list):
      raise DescriptionError(f'"{table}" must be a list of [[{table}]] entries')
    for index, entry in enumerate(entries):
      where = 'library' if table == 'library' else entry_label(table, entry, index)
      check_fields(where, entry, fields)
      found = non_printable(entry, '')
      if found:
        path, character = found
        raise DescriptionError(f'{where}: field "{path[1:]}" holds {character!r}, which is not '
                               'printable ASCII')
      if table == 'function':
        check_fields(where, entry['ordinals'], ORDINAL_FIELDS, 'ordinals.')
        for number, arg in enumerate(entry['args']):
          check_fields(where, arg, ARG_FIELDS, f'args[{number}].')
  unknown = sorted(set(api) - set(SCHEMA))
  if unknown:
    raise DescriptionError(f'unknown tables: {unknown}')


def validate(api):
  """Rejects a description that would make the writers produce nonsense; the message names
  the entry and the field."""
  def need(condition, message):
    if not condition:
      raise DescriptionError(message)

  check_shapes(api)
  functions = api['function']
  names = [f['name'] for f in functions]
  need(len(set(names)) == len(names), 'a function is described twice')
  for variant in ('plain', 'decorated'):
    ordinals = sorted(f['ordinals'][variant] for f in functions)
    need(ordinals == list(range(1, len(functions) + 1)),
         f'{variant} ordinals are not 1..{len(functions)}, each once')
  for function in functions:
    where = f'function {function["name"]}'
    need(function['family'] in FAMILIES, f'{where}: field "family" is not one of {FAMILIES}')
    need(function['auto_call'] in ('operation', 'driver', 'none'),
         f'{where}: field "auto_call" is not operation, driver or none')
    arg_names = [a['name'] for a in function['args']]
    for number, arg in enumerate(function['args']):
      need(arg['type'] in ARG_TYPES,
           f'{where}: field "args[{number}].type" is {arg["type"]}, not one of '
           f'{sorted(ARG_TYPES)}')
      if arg['type'] in ('buffer', 'inout'):
        need(arg.get('size') in arg_names,
             f'{where}: field "args[{number}].size" names no argument')
        need(arg.get('nul') in ('within', 'after'),
             f'{where}: field "args[{number}].nul" must be within or after')
    if function.get('channel'):
      need(arg_names[:1] == ['chan'], f'{where}: a channel function starts with chan')
  codes = {e['code'] for e in api['error']}
  need(len(codes) == len(api['error']), 'an error code is described twice')
  for error in api['error']:
    where = f'error {error["code"]}'
    need(('constant' in error) != ('name' in error),
         f'{where}: give a constant (library code) or a name (socket code)')
    need('constant' not in error or 'doc' in error, f'{where}: field "doc" is missing')
    need(error.get('kind', 'connect') in KINDS,
         f'{where}: field "kind" is not one of {sorted(KINDS)}')
  for function in functions:
    for code in function['errors']:
      need(code in codes, f'function {function["name"]}: field "errors" lists {code}, which '
           'is not described')
  for table in CODE_TABLES:
    values = [(e.get('function'), e['code']) for e in api[table]]
    need(len(set(values)) == len(values), f'{table}: a code is described twice')


def signature_bytes(function):
  return 4 * len(function['args'])


def decorated_name(function):
  return f'_{function["name"]}@{signature_bytes(function)}'


def by_family(api):
  return sorted(api['function'], key=lambda f: FAMILIES.index(f['family']))


def library_errors(api):
  return [e for e in api['error'] if 'constant' in e]


def all_constants(api):
  """(group title, [(constant, value, doc)]) in the order of the header."""
  groups = [('Error codes; Windows Sockets errors come through negated (-10004 to -11004)',
             [(e['constant'], e['code'], error_doc(e)) for e in library_errors(api)])]
  groups.append(('dapGetInteger codes',
                 [(c['constant'], c['code'], c['doc']) for c in api['get_integer']]))
  groups.append(('dapSetInteger codes',
                 [(c['constant'], c['code'], set_doc(c)) for c in api['set_integer']]))
  groups.append(('dapGetString and dapSetString codes',
                 [(c['constant'], c['code'], c['doc']) for c in api['string_code']]))
  groups.append(('dapGetList types',
                 [(c['constant'], c['code'], f'{c["command"]}: {c["doc"]}')
                  for c in api['list_type']]))
  groups.append(('dapDriver result',
                 [('DAP_DRIVER_WAITING', api['library']['driver_waiting'],
                   'The call was held back by a delay or a pending write.')]))
  return groups


def error_doc(error):
  text = f'"{error["text"]}"' if error['text'] else 'No text.'
  return f'{text} {error["doc"]}'


def library_constants(api):
  """The library's numbers every binding names, as (NAME, value)."""
  keys = ['version', 'build', 'max_channels', 'name_limit', 'local_dir_limit', 'listing_piece']
  return [(key.upper(), api['library'][key]) for key in keys]


def set_doc(code):
  unit = f' {code["unit"]}' if 'unit' in code else ''
  scope = 'library-wide' if code['scope'] == 'library' else 'this channel'
  return f'{code["doc"]} Default {code["default"]}{unit}; {scope}.'


def kind_codes(api, kind):
  return [e['code'] for e in api['error'] if e.get('kind') == kind]


def preamble_errors(function):
  return [-15, -8] if function.get('channel') else []


def errors_sentence(function):
  codes = preamble_errors(function) + function['errors']
  if not codes:
    return 'none'
  text = ', '.join(str(c) for c in codes)
  if function.get('socket_errors'):
    text += ', negated Windows Sockets codes'
  return text


def auto_call_sentence(function):
  if function['auto_call'] == 'operation':
    return ('AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL '
            'off: arms the channel and returns 0; call dapDriver until it returns 0 or a '
            'negative code.')
  if function['auto_call'] == 'driver':
    return 'The step function itself: AUTO_CALL decides only who calls it.'
  return 'Returns at once; AUTO_CALL does not apply.'


def wrap(text, width, first, rest):
  """Wrapped lines; a number and its unit ("20 ms") stay on one line."""
  text = re.sub(r'(\d) (ms|bytes)\b', '\\1\xa0\\2', text)
  lines = textwrap.wrap(text, width=width, initial_indent=first, subsequent_indent=rest,
                        break_long_words=False, break_on_hyphens=False)
  return [line.replace('\xa0', ' ') for line in lines]


# ---- C header --------------------------------------------------------------------------------

C_TYPES = {'int32': 'int32_t', 'uint32': 'uint32_t', 'text': 'const char*', 'buffer': 'char*',
           'inout': 'char*', 'size': 'int32_t'}

HEADER_TOP = '''\
/* dap32: the client side of FTP in a small, caller-driven library.
 *
 * Every function takes 32-bit arguments and returns a signed 32-bit result:
 * negative values are error codes (dapErrorText gives their texts), zero and
 * positive values are results. On 32-bit Windows every export is __stdcall.
 * docs/reference.md describes every function and code at length.
 *
 * %s */
#ifndef DAP32_H
#define DAP32_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define DAP_CALL __stdcall
#else
#define DAP_CALL
#endif

#if defined(DAP32_BUILD) && defined(_WIN32)
#define DAP_EXPORT
#elif defined(DAP32_BUILD)
#define DAP_EXPORT __attribute__((visibility("default")))
#else
#define DAP_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif
''' % WRITTEN_BY

HEADER_BOTTOM = '''\
#ifdef __cplusplus
}
#endif

#endif /* DAP32_H */
'''


def c_comment(lines, indent=''):
  """A block comment of the given paragraphs, wrapped to 100 columns with room for its end."""
  width = 100 - len(indent) - 6
  wrapped = []
  for paragraph in lines:
    if isinstance(paragraph, tuple):  # (first-line prefix, continuation prefix, text)
      first, rest, text = paragraph
      wrapped += wrap(text, width, first, rest)
    else:
      wrapped += wrap(paragraph, width, '', '')
  if len(wrapped) == 1 and len(indent) + len(wrapped[0]) + 6 <= width:
    return [f'{indent}/* {wrapped[0]} */']
  out = [f'{indent}/* {wrapped[0]}']
  out += [f'{indent} * {line}'.rstrip() for line in wrapped[1:]]
  out[-1] += ' */'
  return out


def c_prototype(function):
  params = [f'{C_TYPES[a["type"]]} {a["name"]}' for a in function['args']] or ['void']
  head = f'DAP_EXPORT int32_t DAP_CALL {function["name"]}('
  one = head + ', '.join(params) + ');'
  if len(one) <= 100:
    return [one]
  # As clang-format packs them: as many per line as fit, aligned after the parenthesis.
  lines = [head + params[0] + (',' if len(params) > 1 else ');')]
  for index, param in enumerate(params[1:], 1):
    end = ');' if index == len(params) - 1 else ','
    if len(lines[-1]) + 1 + len(param) + len(end) <= 100:
      lines[-1] += ' ' + param + end
    else:
      lines.append(' ' * len(head) + param + end)
  return lines


def c_function_comment(function):
  width = max(len(a['name']) for a in function['args']) if function['args'] else 0
  doc = function['doc']
  paragraphs = [f'{function["name"]}: {doc[0].lower()}{doc[1:]}']
  for arg in function['args']:
    paragraphs.append((f'  {arg["name"]:<{width}}  ', ' ' * (width + 4), arg['doc']))
  paragraphs.append(f'Returns {function["result"]}. Errors: {errors_sentence(function)}.')
  paragraphs.append(auto_call_sentence(function))
  paragraphs += function.get('notes', [])
  return c_comment(paragraphs)


def render_header(api):
  out = [HEADER_TOP]
  for title, constants in all_constants(api):
    out.append(f'/* {title}. */')
    out.append('enum {')
    for index, (constant, value, doc) in enumerate(constants):
      out += c_comment([doc], '  ')
      out.append(f'  {constant} = {value}' + (',' if index < len(constants) - 1 else ''))
    out.append('};')
    out.append('')
  for family in FAMILIES:
    out.append(f'/* ---- {FAMILY_TITLES[family]} ' + '-' * (88 - len(FAMILY_TITLES[family])) +
               ' */')
    out.append('')
    for function in [f for f in api['function'] if f['family'] == family]:
      out += c_function_comment(function)
      out += c_prototype(function)
      out.append('')
  out.append(HEADER_BOTTOM)
  return '\n'.join(out)


# ---- Reference -------------------------------------------------------------------------------

DIRECTIONS = {'int32': 'in', 'uint32': 'in', 'text': 'in', 'buffer': 'out', 'inout': 'in, out',
              'size': 'in'}


def md_cell(text):
  return str(text).replace('|', '\\|')


def buffer_rule(arg):
  if arg['nul'] == 'within':
    return f'`{arg["size"]}` bytes in all, the NUL included'
  return f'`{arg["size"]}` characters and a NUL: `{arg["size"]}` + 1 bytes'


def render_reference(api):
  lib = api['library']
  errors = {e['code']: e for e in api['error']}
  out = [
      '# dap32 reference', '',
      f'<!-- {WRITTEN_BY} -->', '',
      'Every export takes 32-bit arguments and returns a signed 32-bit result: negative values '
      'are error codes, zero and positive values are results. The 32-bit Windows DLLs use '
      f'{lib["calling_convention"]}; the 64-bit DLL and the Linux library have one calling '
      'convention. Texts are NUL-terminated 8-bit strings; names (server, user, password, '
      f'files and directories) are kept up to {lib["name_limit"]} characters and cut at the '
      'first byte outside printable ASCII (0x20 to 0x7E).', '',
      'A channel function first answers -15 before `dapAttach` and -8 for a channel number '
      'that, taken as unsigned, is not below the attached count. With AUTO_CALL on (the '
      'default) an operation drives the exchange to its end; with AUTO_CALL off it only arms '
      'the channel, returns 0, and the caller calls `dapDriver` until that returns 0 or a '
      'negative code.', '',
      '## Exports', '',
      '| Export | Plain ordinal | Decorated name | Decorated ordinal | Purpose |',
      '|---|--:|---|--:|---|',
  ]
  for f in sorted(api['function'], key=lambda f: f['ordinals']['plain']):
    out.append(f'| [`{f["name"]}`](#{f["name"].lower()}) | {f["ordinals"]["plain"]} | '
               f'`{decorated_name(f)}` | {f["ordinals"]["decorated"]} | {md_cell(f["doc"])} |')
  out.append('')
  for family in FAMILIES:
    out += [f'## {FAMILY_TITLES[family]}', '']
    for f in [f for f in api['function'] if f['family'] == family]:
      params = ', '.join(f'{C_TYPES[a["type"]]} {a["name"]}' for a in f['args']) or 'void'
      out += [f'### {f["name"]}', '', f'`int32_t {f["name"]}({params})`', '', f['doc'], '']
      if f['args']:
        out += ['| Argument | Type | Direction | Meaning |', '|---|---|---|---|']
        for a in f['args']:
          meaning = a['doc']
          if a['type'] in ('buffer', 'inout'):
            meaning += f'; holds {buffer_rule(a)}'
          out.append(f'| `{a["name"]}` | `{C_TYPES[a["type"]]}` | {DIRECTIONS[a["type"]]} | '
                     f'{md_cell(meaning)} |')
        out.append('')
      out += [f'**Result:** {f["result"]}.', '']
      codes = preamble_errors(f) + f['errors']
      if codes:
        listed = ', '.join(f'{c} ({errors[c]["text"] or errors[c]["doc"]})' for c in codes)
        if f.get('socket_errors'):
          listed += ', or a negated Windows Sockets code'
        out += [f'**Errors:** {md_cell(listed)}.', '']
      out += [f'**AUTO_CALL:** {auto_call_sentence(f)}', '']
      if 'entry_line' in f:
        out += [f'**Log:** first writes `{f["entry_line"]}` and CR LF to an open log.', '']
      if 'entry_state' in f:
        out += [f'**First state:** {f["entry_state"]}.', '']
      out += [f'- {n}' for n in f.get('notes', [])]
      if f.get('notes'):
        out.append('')
  out += ['## Codes', '', '### dapGetInteger', '',
          '| Code | Constant | Value | On a fresh channel |', '|--:|---|---|--:|']
  for c in api['get_integer']:
    out.append(f'| {c["code"]} | `{c["constant"]}` | {md_cell(c["doc"])} | {c["after_attach"]} |')
  out += ['', 'Any other code gives -1.', '', '### dapSetInteger', '',
          '| Code | Constant | Scope | Default | Effect |', '|--:|---|---|--:|---|']
  for c in api['set_integer']:
    unit = f' {c["unit"]}' if 'unit' in c else ''
    out.append(f'| {c["code"]} | `{c["constant"]}` | {c["scope"]} | {c["default"]}{unit} | '
               f'{md_cell(c["doc"])} |')
  out += ['', 'The result is the value as stored; any other code gives -1 and changes nothing.',
          '', '### dapGetString and dapSetString', '',
          '| Code | Constant | Function | Effect |', '|--:|---|---|---|']
  for c in api['string_code']:
    out.append(f'| {c["code"]} | `{c["constant"]}` | `{c["function"]}` | {md_cell(c["doc"])} |')
  out += ['', 'An unknown code gives 0 and the text "?" from `dapGetString`, -1 from '
          '`dapSetString`.', '', '### dapGetList types', '',
          '| Type | Constant | Command | Listing |', '|--:|---|---|---|']
  for c in api['list_type']:
    out.append(f'| {c["code"]} | `{c["constant"]}` | `{c["command"]}` | {md_cell(c["doc"])} |')
  out += ['', '## Error codes', '',
          'The library\'s codes, and Windows Sockets errors passed through negated. '
          '`dapErrorText` gives the text; for the codes marked "reply" it appends a blank and '
          'the server\'s last reply. Kind is how the bindings group them into exceptions.', '',
          '| Code | Constant or socket error | Text | Kind | Meaning |', '|--:|---|---|---|---|']
  for e in api['error']:
    label = f'`{e["constant"]}`' if 'constant' in e else e['name']
    text = f'"{e["text"]}"' if e['text'] else '(none)'
    if e.get('reply'):
      text += ' + reply'
    out.append(f'| {e["code"]} | {label} | {md_cell(text)} | {e.get("kind", "")} | '
               f'{md_cell(e.get("doc", ""))} |')
  out += ['', '## dapDriver results and states', '',
          '`dapDriver` returns 0 when the channel is idle or the step completed the operation, '
          f'{lib["driver_waiting"]} when the call was held back, a negative code when the '
          'operation failed, 1 when a time-out ended an operation after an accepted active-mode '
          'data connection, and otherwise the state that runs next:', '',
          '| State | Step |', '|--:|---|']
  out += [f'| {s["number"]} | {md_cell(s["doc"])} |' for s in api['state']]
  out += ['', 'Operations start in these states:', '']
  out += [f'- `{f["name"]}`: {f["entry_state"]}' for f in api['function'] if 'entry_state' in f]
  out += ['', '## Debug log', '',
          '`dapSetString` with `DAP_STR_LOG_OPEN` opens a channel\'s log; `dapClose` closes it. '
          'Lines end in CR LF unless the format shows otherwise. Each export that changes a '
          'channel first writes its entry line (listed with the functions), then:', '',
          '| Format | Written |', '|---|---|']
  out += [f'| `{md_cell(line["format"])}` | {md_cell(line["doc"])} |' for line in api['log_line']]
  out.append('')
  return '\n'.join(out)


# ---- Python ----------------------------------------------------------------------------------

PY_TYPES = {'int32': 'c_int32', 'uint32': 'c_uint32', 'text': 'c_char_p',
            'buffer': 'POINTER(c_char)', 'inout': 'POINTER(c_char)', 'size': 'c_int32'}


def py_tuple(items):
  items = list(items)
  return '(' + ', '.join(items) + (',' if len(items) == 1 else '') + ')'


def render_python(api):
  out = [f'"""The dap32 API for ctypes: signatures, constants and error texts.',
         '', f'{WRITTEN_BY}', '"""', '',
         'from ctypes import POINTER, c_char, c_char_p, c_int32, c_uint32', '']
  out += [f'{name} = {value}' for name, value in library_constants(api)] + ['']
  for title, constants in all_constants(api):
    out.append(f'# {title}')
    out += [f'{name} = {value}' for name, value, _ in constants]
    out.append('')
  out += ['# Every export: (argument types, argument names, whether it takes a channel).',
          'FUNCTIONS = {']
  for f in api['function']:
    types = py_tuple(PY_TYPES[a['type']] for a in f['args'])
    names = py_tuple(f'"{a["name"]}"' for a in f['args'])
    line = f'    "{f["name"]}": ({types}, {names}, {bool(f.get("channel"))}),'
    if len(line) > 100:
      head = f'    "{f["name"]}": ('
      line = f'{head}{types},\n{" " * len(head)}{names}, {bool(f.get("channel"))}),'
    out.append(line)
  out += ['}', '', '# Error code: (text as dapErrorText gives it, kind or None).', 'ERRORS = {']
  for e in api['error']:
    kind = f'"{e["kind"]}"' if 'kind' in e else 'None'
    out.append(f'    {e["code"]}: ({e["text"]!r}, {kind}),')
  out += ['}', '', '# dapSetInteger code: the library\'s default, for the original pace.',
          'SET_DEFAULTS = {']
  out += [f'    {c["constant"]}: {c["default"]},' for c in api['set_integer']]
  out += ['}', '',
          '# The codes whose text dapErrorText follows with the server\'s last reply.',
          'REPLY_CODES = frozenset({%s})' % ', '.join(
              str(e['code']) for e in api['error'] if e.get('reply')), '']
  return '\n'.join(out)


# ---- .NET ------------------------------------------------------------------------------------

CS_TYPES = {'int32': 'int', 'uint32': 'uint', 'text': 'string', 'buffer': '[In, Out] byte[]',
            'inout': '[In, Out] byte[]', 'size': 'int'}


def xml_escape(text):
  return text.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')


def cs_doc(text, indent):
  lines = wrap(xml_escape(text), 100 - len(indent) - 4, '', '')
  if len(lines) == 1 and len(indent) + len(lines[0]) + 25 <= 100:
    return [f'{indent}/// <summary>{lines[0]}</summary>']
  return ([f'{indent}/// <summary>'] + [f'{indent}/// {line}' for line in lines] +
          [f'{indent}/// </summary>'])


def cs_declaration(function, types, doc):
  params = ', '.join(f'{types[a["type"]]} {a["name"]}' for a in function['args'])
  out = cs_doc(doc, '        ')
  out.append('        [DllImport(Library, CallingConvention = CallingConvention.StdCall,')
  out.append('                   CharSet = CharSet.Ansi, ExactSpelling = true)]')
  line = f'        public static extern int {function["name"]}({params});'
  if len(line) > 100:
    line = f'        public static extern int {function["name"]}(\n            {params});'
  return out + [line, '']


def render_csharp(api):
  out = ['// The dap32 API for .NET: one P/Invoke declaration per export, and the constants.',
         f'// {WRITTEN_BY}', '//',
         '// StdCall is the convention of the 32-bit DLLs; the 64-bit DLL and Linux have only',
         '// one and ignore it. Output buffers are byte arrays: pass the size the export',
         '// documents. A buffer the library keeps past the call (dapGetList with AUTO_CALL',
         '// off) must be pinned.', '',
         'using System.Runtime.InteropServices;', '', 'namespace Dap32', '{',
         '    /// <summary>How the bindings group error codes into exceptions.</summary>',
         '    public enum ErrorKind { Other, Connect, Server, Timeout }', '',
         '    public static class Native', '    {',
         '        public const string Library = "dap32";',
         ]
  for name, value in library_constants(api):
    pascal_case = ''.join(word.capitalize() for word in name.split('_'))
    out.append(f'        public const int {pascal_case} = {value};')
  out.append('')
  for title, constants in all_constants(api):
    out.append(f'        // {title}')
    for name, value, doc in constants:
      out += cs_doc(doc, '        ')
      out.append(f'        public const int {name} = {value};')
    out.append('')
  for f in by_family(api):
    out += cs_declaration(f, CS_TYPES, f['doc'])
    # Ansi strings go out in the system's code page on Windows: UTF-8 names need their bytes.
    if any(a['type'] == 'text' for a in f['args']):
      out += cs_declaration(f, {**CS_TYPES, 'text': 'byte[]'},
                            'The same, each text given as its bytes and a NUL (UTF-8 names).')
  out += ['        /// <summary>The exception group of an error code.</summary>',
          '        public static ErrorKind KindOf(int code)', '        {',
          '            switch (code)', '            {']
  for kind in ('connect', 'server', 'timeout'):
    codes = kind_codes(api, kind)
    for index in range(0, len(codes), 6):
      out.append('                ' + ' '.join(f'case {c}:' for c in codes[index:index + 6]))
    out.append(f'                    return ErrorKind.{kind.capitalize()};')
  out += ['                default:', '                    return ErrorKind.Other;',
          '            }', '        }', '',
          '        /// <summary>The library\'s default for a dapSetInteger code; -1 for an',
          '        /// unknown code.</summary>',
          '        public static int DefaultOf(int code)', '        {',
          '            switch (code)', '            {']
  out += [f'                case {c["constant"]}: return {c["default"]};'
          for c in api['set_integer']]
  out += ['                default: return -1;', '            }', '        }', '',
          '        /// <summary>The text of code as dapErrorText gives it, without a reply; ""',
          '        /// for a code without text.</summary>',
          '        public static string TextOf(int code)', '        {',
          '            switch (code)', '            {']
  for e in api['error']:
    if e['text']:
      text = e['text'].replace('\\', '\\\\').replace('"', '\\"')
      out.append(f'                case {e["code"]}: return "{text}";')
  out += ['                default: return "";', '            }', '        }', '',
          '        /// <summary>Whether dapErrorText follows the text of code with the reply.'
          '</summary>',
          '        public static bool CarriesReply(int code)', '        {',
          '            return ' + ' || '.join(
              f'code == {e["code"]}' for e in api['error'] if e.get('reply')) + ';',
          '        }', '    }', '}', '']
  return '\n'.join(out)


# ---- Pascal ----------------------------------------------------------------------------------

PAS_TYPES = {'int32': 'Integer', 'uint32': 'Cardinal', 'text': 'PAnsiChar', 'buffer': 'PAnsiChar',
             'inout': 'PAnsiChar', 'size': 'Integer'}


def pas_arg(name):
  return 'A' + name[0].upper() + name[1:]


def pas_comment(text, indent=''):
  lines = wrap(text, 100 - len(indent) - 4, '', '')
  if len(lines) == 1:
    return [f'{indent}{{ {lines[0]} }}']
  return [f'{indent}{{ {lines[0]}'] + [f'{indent}  {line}' for line in lines[1:-1]] + \
      [f'{indent}  {lines[-1]} }}']


def pas_header(name, params):
  """A function heading, its parameters wrapped whole at 100 columns."""
  if not params:
    return [f'function {name}: Integer;']
  lines = [f'function {name}(']
  for index, param in enumerate(params):
    piece = param + ('; ' if index < len(params) - 1 else '): Integer;')
    if len(lines[-1]) + len(piece.rstrip()) > 100:
      lines[-1] = lines[-1].rstrip()
      lines.append('  ')
    lines[-1] += piece
  return lines


def render_pascal(api):
  out = pas_comment('The dap32 API for Delphi and Free Pascal: one declaration per export, and '
                    f'the constants. {WRITTEN_BY} The 32-bit Windows DLLs are stdcall; elsewhere '
                    'the C convention applies.')
  out += ['unit dap32;', '', '{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}', '', 'interface', '', 'const',
          '{$IFDEF MSWINDOWS}', "  Dap32Library = 'dap32.dll';", '{$ELSE}', '{$IFDEF FPC}',
          "  Dap32Library = 'dap32';  { linked as -ldap32: libdap32.so }", '{$ELSE}',
          "  Dap32Library = 'libdap32.so';", '{$ENDIF}', '{$ENDIF}', '']
  out += [f'  DAP32_{name} = {value};' for name, value in library_constants(api)] + ['']
  for title, constants in all_constants(api):
    out.append(f'  {{ {title} }}')
    for name, value, _ in constants:
      out.append(f'  {name} = {value};')
    out.append('')
  out += ['type', '  { How the bindings group error codes into exceptions. }',
          '  TDap32ErrorKind = (dekOther, dekConnect, dekServer, dekTimeout);', '']
  for f in by_family(api):
    params = [f'{pas_arg(a["name"])}: {PAS_TYPES[a["type"]]}' for a in f['args']]
    out += pas_comment(f['doc'])
    out += pas_header(f['name'], params)
    out.append('  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;')
    out.append('')
  out += ['{ The exception group of an error code. }',
          'function Dap32ErrorKind(Code: Integer): TDap32ErrorKind;', '',
          '{ The library\'s default for a dapSetInteger code; -1 for an unknown code. }',
          'function Dap32SetDefault(Code: Integer): Integer;', '',
          '{ Whether dapErrorText follows the text of Code with the server\'s reply. }',
          'function Dap32CarriesReply(Code: Integer): Boolean;', '',
          '{ The text of Code as dapErrorText gives it, without a reply; \'\' for a code without '
          'text. }', 'function Dap32ErrorMessage(Code: Integer): AnsiString;', '',
          'implementation', '',
          'function Dap32ErrorKind(Code: Integer): TDap32ErrorKind;', 'begin', '  case Code of']
  for kind in ('connect', 'server', 'timeout'):
    out += wrap(', '.join(str(c) for c in kind_codes(api, kind)) + ':', 96, '    ', '    ')
    out.append(f'      Result := dek{kind.capitalize()};')
  out += ['  else', '    Result := dekOther;', '  end;', 'end;', '',
          'function Dap32SetDefault(Code: Integer): Integer;', 'begin', '  case Code of']
  out += [f'    {c["constant"]}: Result := {c["default"]};' for c in api['set_integer']]
  out += ['  else', '    Result := -1;', '  end;', 'end;', '',
          'function Dap32CarriesReply(Code: Integer): Boolean;', 'begin',
          '  Result := ' + ' or '.join(f'(Code = {e["code"]})'
                                      for e in api['error'] if e.get('reply')) + ';',
          'end;', '', 'function Dap32ErrorMessage(Code: Integer): AnsiString;', 'begin',
          '  case Code of']
  for e in api['error']:
    if e['text']:
      text = e['text'].replace("'", "''")
      out.append(f"    {e['code']}: Result := '{text}';")
  out += ['  else', "    Result := '';", '  end;', 'end;', '', 'end.', '']
  return '\n'.join(out)


# ---- VB6 / VBA -------------------------------------------------------------------------------

# Argument names VB reserves for statements and functions of its own.
VB_RENAMES = {'type': 'listType', 'name': 'fileName', 'line': 'lineNumber',
              'field': 'fieldNumber', 'command': 'commandText'}
VB_HELPER_BUFFER = 2048
VB_LIST_BUFFER = 65536


def vb_arg_name(arg):
  return VB_RENAMES.get(arg['name'], arg['name'])


def vb_declare(function, ptr_safe):
  params = ', '.join(f'ByVal {vb_arg_name(a)} As ' +
                     ('String' if a['type'] in ('text', 'buffer', 'inout') else 'Long')
                     for a in function['args'])
  safe = 'PtrSafe ' if ptr_safe else ''
  return f'Public Declare {safe}Function {function["name"]} Lib "dap32.dll" ({params}) As Long'


def vb_helper(function):
  """A function that hands the buffer's text back as a String and raises on a failure."""
  buffer = next(a for a in function['args'] if a['type'] in ('buffer', 'inout'))
  inputs = [a for a in function['args'] if a is not buffer and a['name'] != buffer['size']]
  params = [f'ByVal {vb_arg_name(a)} As ' + ('String' if a['type'] == 'text' else 'Long')
            for a in inputs]
  capacity = VB_LIST_BUFFER if buffer['type'] == 'inout' else VB_HELPER_BUFFER
  doc_extra = ''
  if buffer['type'] == 'inout':
    params.append('Optional ByVal pattern As String = ""')
    doc_extra = f" At most {capacity} bytes; call {function['name']} itself for more."
  helper = 'Dap32' + function['name'][3:]
  size = 'Len(buffer)' if buffer['nul'] == 'within' else 'Len(buffer) - 1'
  call_args = []
  for a in function['args']:
    if a is buffer:
      call_args.append('buffer')
    elif a['name'] == buffer['size']:
      call_args.append(size)
    else:
      call_args.append(vb_arg_name(a))
  fill = (f'buffer = pattern & vbNullChar & Space$({capacity})' if buffer['type'] == 'inout'
          else f'buffer = Space$({capacity})')
  lines = [f"' {function['name']}, its text returned as a String; a failure raises a VB error."
           + doc_extra,
           f'Public Function {helper}({", ".join(params)}) As String',
           '    Dim buffer As String, result As Long', f'    {fill}',
           f'    result = {function["name"]}({", ".join(call_args)})']
  if function.get('channel'):
    lines.append('    If result < 0 Then Dap32Raise chan, result')
  # The listing's length is the result: an empty one leaves the pattern in the buffer.
  text = 'Left$(buffer, result)' if buffer['type'] == 'inout' else 'Dap32Trim(buffer)'
  lines += [f'    {helper} = {text}', 'End Function', '']
  return lines


VB_FIXED = f'''\
' Raises a failure as a VB error: Err.Number - DAP32_ERROR_BASE is the negated code and
' Err.Description its text, with the server's reply after a refusal.
Public Sub Dap32Raise(ByVal chan As Long, ByVal code As Long)
    Dim buffer As String, text As String
    buffer = Space$({VB_HELPER_BUFFER})
    If dapErrorText(chan, code, buffer, Len(buffer)) > 0 Then
        text = Dap32Trim(buffer)
    Else
        text = "dap32 error " & code
    End If
    Err.Raise DAP32_ERROR_BASE - code, "dap32", text
End Sub

' Passes a result on, raising it as a VB error when it is a negative code.
Public Function Dap32Check(ByVal chan As Long, ByVal result As Long) As Long
    If result < 0 Then Dap32Raise chan, result
    Dap32Check = result
End Function

' The text before the first NUL of a buffer the library has written.
Public Function Dap32Trim(ByVal buffer As String) As String
    Dim nul As Long
    nul = InStr(buffer, vbNullChar)
    If nul > 0 Then Dap32Trim = Left$(buffer, nul - 1) Else Dap32Trim = buffer
End Function
'''


def render_vb(api):
  out = ['Attribute VB_Name = "dap32"',
         "' The dap32 API for VB6 and VBA: a Declare per export of the plain-name DLL, the",
         "' constants, and helpers that return the text of output buffers as Strings.",
         f"' {WRITTEN_BY}",
         "' VBA7 (Office 2010 and later, 32 or 64 bits) takes the PtrSafe block; 64-bit Office",
         "' loads the 64-bit dap32.dll. Every value stays a 32-bit Long in both.",
         'Option Explicit', '',
         'Public Const DAP32_ERROR_BASE As Long = vbObjectError + 512', '']
  for title, constants in all_constants(api):
    out.append(f"' {title}")
    out += [f'Public Const {name} As Long = {value}' for name, value, _ in constants]
    out.append('')
  out.append('#If VBA7 Then')
  out += [vb_declare(f, True) for f in by_family(api)]
  out.append('#Else')
  out += [vb_declare(f, False) for f in by_family(api)]
  out += ['#End If', '']
  for f in by_family(api):
    if any(a['type'] in ('buffer', 'inout') for a in f['args']):
      out += vb_helper(f)
  out += VB_FIXED.splitlines()
  return '\r\n'.join(out) + '\r\n'


# ---- All files -------------------------------------------------------------------------------

OUTPUTS = {
    'include/dap32.h': render_header,
    'docs/reference.md': render_reference,
    'bindings/python/dap32/_api.py': render_python,
    'bindings/dotnet/Dap32Native.cs': render_csharp,
    'bindings/pascal/dap32.pas': render_pascal,
    'bindings/vb/dap32.bas': render_vb,
}


def render_all(api):
  return {path: render(api) for path, render in OUTPUTS.items()}


def write_all(files, top):
  """Writes every file beside its target under a temporary name and renames them into place
  only when all were written, so that a failure leaves the old files whole."""
  written = {}
  try:
    for path, text in files.items():
      target = os.path.join(top, path)
      os.makedirs(os.path.dirname(target), exist_ok=True)
      written[target] = f'{target}.{os.getpid()}.tmp'
      with open(written[target], 'w', encoding='ascii', newline='') as out:
        out.write(text)
    for target, temporary in written.items():
      os.replace(temporary, target)
  finally:
    for temporary in written.values():
      if os.path.exists(temporary):
        os.remove(temporary)
  return list(written)


def main(argv):
  parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
  parser.add_argument('--out', default=TOP, help='folder to write below (default: the repository)')
  parser.add_argument('--description', default=DESCRIPTION,
                      help='the description to read (default: bindings/dap32.toml)')
  args = parser.parse_args(argv)
  try:
    files = render_all(load(args.description))
  except (DescriptionError, tomllib.TOMLDecodeError) as error:
    print(f'{args.description}: {error}', file=sys.stderr)
    return 1
  try:
    targets = write_all(files, args.out)
  except (OSError, UnicodeError) as error:
    print(f'nothing written: {error}', file=sys.stderr)
    return 1
  for target in targets:
    print(f'wrote {target}')
  return 0


if __name__ == '__main__':
  sys.exit(main(sys.argv[1:]))
