#!/usr/bin/env python3
"""Reads the machine code of the built benchmark and proves, per timed loop,
that the measured work happens in every iteration, and that the two MPI_Wtime
calls of every timed form bracket the loop and nothing else.

    loop_code.py OBJDUMP BINARY bodies   every loop of every loop function
    loop_code.py OBJDUMP BINARY timers   what the two MPI_Wtime calls bracket
    loop_code.py OBJDUMP BINARY faults   the checks above catch planted faults

The code is taken as the compiler left it: functions are cut into basic blocks,
loops are found through dominators (so GCC's split loops and Clang's rotated
loops are seen as they are), and every path through one iteration is walked.
A requirement holds only if it holds on every path, except for the few that
the source itself makes conditional (the __int128 conversions call __fixdfti
for in-range values only; those are checked on the in-range paths).
"""
import re
import subprocess
import sys
from collections import defaultdict

# ---- Reading the disassembly ---------------------------------------------

FUNCTION_LINE = re.compile(r'^[0-9a-f]+ <(.*)>:$')
INSTRUCTION_LINE = re.compile(r'^\s+([0-9a-f]+):\t(.*)$')
DIRECT_TARGET = re.compile(r'^([0-9a-f]+) <(.*)>$')
MEMORY = re.compile(r'^(?:%\w+:)?(-?(?:0x[0-9a-f]+|\d+))?\(([^)]*)\)$')
PREFIXES = {'bnd', 'notrack', 'rep', 'repz', 'repnz', 'lock', 'data16', 'cs', 'ds'}
GPR64 = {'rax', 'rbx', 'rcx', 'rdx', 'rsi', 'rdi', 'rbp', 'rsp'} | {f'r{n}' for n in range(8, 16)}
CALLER_SAVED = {'rax', 'rcx', 'rdx', 'rsi', 'rdi', 'r8', 'r9', 'r10', 'r11'}
NO_RETURN = ('__stack_chk_fail', '_Unwind_Resume', '__cxa_throw', 'abort', '__throw_', 'terminate')


def register(operand):
    """The 64-bit register an operand names ('%eax' -> 'rax'), else None."""
    if not operand.startswith('%'):
        return None
    name = operand[1:]
    match = re.fullmatch(r'(r\d+)[dwb]?', name)
    if match:
        return match.group(1)
    match = re.fullmatch(r'[re]?([abcd])[xlh]', name)
    if match:
        return 'r' + match.group(1) + 'x'
    match = re.fullmatch(r'[re]?(si|di|bp|sp)l?', name)
    if match:
        return 'r' + match.group(1)
    return name  # xmm, st, rip


def is_register64(operand):
    return operand.startswith('%') and operand[1:] in GPR64


def split_operands(text):
    operands, depth, current = [], 0, ''
    for char in text:
        depth += char == '('
        depth -= char == ')'
        if char == ',' and depth == 0:
            operands.append(current)
            current = ''
        else:
            current += char
    return operands + [current] if current else operands


class Instruction:
    def __init__(self, address, text):
        self.address = address
        self.text = text.strip()
        code, _, comment = text.partition('#')
        words = code.split()
        while words and words[0] in PREFIXES:
            words.pop(0)
        self.mnemonic = words[0] if words else ''
        rest = code.split(self.mnemonic, 1)[1].strip() if words else ''
        self.target = self.target_name = None
        direct = DIRECT_TARGET.match(rest)
        if direct and (self.mnemonic.startswith('j') or self.mnemonic.startswith('call')):
            self.target, self.target_name = int(direct.group(1), 16), direct.group(2)
            self.operands = []
        else:
            self.operands = split_operands(rest)
            named = re.search(r'<(.*)>', comment)
            if self.mnemonic.startswith('call') and named:  # call *GOT(%rip): -fno-plt builds
                self.target_name = named.group(1)

    @property
    def is_call(self):
        return self.mnemonic.startswith('call')

    @property
    def callee(self):
        """The called function's name without @plt; '?' for an unknown target."""
        return re.sub(r'(@\w+)+$', '', self.target_name) if self.target_name else '?'

    @property
    def memory(self):
        return [op for op in self.operands if MEMORY.match(op)]


def read_functions(objdump, binary):
    text = subprocess.run([objdump, '-d', '--no-show-raw-insn', '-C', binary], check=True,
                          capture_output=True, text=True).stdout
    return parse_functions(text.splitlines())


def parse_functions(lines):
    """Function name -> instructions; a '.cold' part joins its parent."""
    functions, current = defaultdict(list), None
    for line in lines:
        header = FUNCTION_LINE.match(line)
        if header:
            current = functions[header.group(1).replace(' [clone .cold]', '')]
            continue
        instruction = INSTRUCTION_LINE.match(line)
        if instruction and current is not None:
            current.append(Instruction(int(instruction.group(1), 16), instruction.group(2)))
        elif line.startswith('Disassembly of section'):
            current = None
    return {name: Function(name, sorted(code, key=lambda i: i.address))
            for name, code in functions.items() if code}


# ---- Control flow ---------------------------------------------------------

class Function:
    def __init__(self, name, code):
        self.name, self.code = name, code
        self.frame_pointer = any(i.mnemonic == 'mov' and i.operands == ['%rsp', '%rbp']
                                 for i in code[:12])
        addresses = {i.address for i in code}
        leaders = {code[0].address}
        for index, instruction in enumerate(code):
            if instruction.target in addresses and instruction.mnemonic.startswith('j'):
                leaders.add(instruction.target)
            if ends_block(instruction) and index + 1 < len(code):
                leaders.add(code[index + 1].address)
        self.blocks, block = {}, None
        for instruction in code:
            if instruction.address in leaders:
                block = self.blocks[instruction.address] = []
            block.append(instruction)
        order = sorted(self.blocks)
        self.successors = {}
        for position, start in enumerate(order):
            last = self.blocks[start][-1]
            following = order[position + 1] if position + 1 < len(order) else None
            targets = []
            if last.mnemonic.startswith('j') and last.target in addresses:
                targets.append(last.target)
            falls_through = not (last.mnemonic.startswith(('jmp', 'ret', 'ud2', 'hlt'))
                                 or (last.is_call and last.callee.startswith(NO_RETURN)))
            if falls_through and following is not None:
                targets.append(following)
            self.successors[start] = targets
        self.entry = code[0].address
        self.dominators = self._dominators()

    def _dominators(self):
        reachable, stack = set(), [self.entry]
        while stack:
            block = stack.pop()
            if block not in reachable:
                reachable.add(block)
                stack.extend(self.successors[block])
        predecessors = defaultdict(set)
        for block in reachable:
            for successor in self.successors[block]:
                predecessors[successor].add(block)
        dominators = {block: set(reachable) for block in reachable}
        dominators[self.entry] = {self.entry}
        changed = True
        while changed:
            changed = False
            for block in sorted(reachable):
                if block == self.entry:
                    continue
                new = set.intersection(*(dominators[p] for p in predecessors[block])) | {block}
                if new != dominators[block]:
                    dominators[block], changed = new, True
        self.predecessors = predecessors
        return dominators

    def loops(self):
        """The outermost natural loops, as (header, body blocks, latches)."""
        latches = defaultdict(set)
        for block in self.dominators:
            for successor in self.successors[block]:
                if successor in self.dominators[block]:
                    latches[successor].add(block)
        loops = []
        for header, ends in latches.items():
            body, stack = {header}, list(ends)
            while stack:
                block = stack.pop()
                if block not in body:
                    body.add(block)
                    stack.extend(self.predecessors[block])
            loops.append((header, body, ends))
        return [loop for loop in loops
                if not any(loop[0] in other[1] and loop[0] != other[0] for other in loops)]

    def instructions(self, blocks):
        return [i for block in sorted(blocks) for i in self.blocks[block]]


def ends_block(instruction):
    return instruction.mnemonic.startswith(('j', 'ret', 'ud2', 'hlt')) or instruction.is_call


def iteration_paths(function, header, body, latches, limit=200000):
    """Every path from the header back to it, as a list of blocks."""
    paths, stack = [], [(header, [header])]
    while stack:
        block, path = stack.pop()
        for successor in function.successors[block]:
            if successor == header and block in latches:
                paths.append(path)
            elif successor in body and successor != header:
                if successor in path:
                    raise Failure(f'{function.name}: a loop nested in the loop at {header:x}')
                stack.append((successor, path + [successor]))
        if len(paths) > limit:
            raise Failure(f'{function.name}: too many paths through the loop at {header:x}')
    return paths


class Failure(Exception):
    pass


# ---- What an instruction does ---------------------------------------------

def accesses(instruction):
    """(operand, 'r' | 'w' | 'rw') for each memory operand."""
    m = instruction.mnemonic
    if m.startswith(('nop', 'lea', 'prefetch')) or instruction.target is not None:
        return []
    result, last = [], len(instruction.operands) - 1
    for position, operand in enumerate(instruction.operands):
        if not MEMORY.match(operand):
            continue
        if m.startswith('push'):
            kind = 'r'
        elif m.startswith('pop') or m.startswith(('fst', 'fist', 'fisttp', 'fbstp', 'set')):
            kind = 'w'
        elif m.startswith('f') or m.startswith(('cmp', 'test', 'ucomi', 'comi', 'vucomi', 'bt')):
            kind = 'r'
        elif position < last:
            kind = 'r'
        elif m.startswith(('mov', 'vmov', 'cvt', 'vcvt', 'stos')):
            kind = 'w'
        elif last == 0 and re.fullmatch(r'i?(mul|div)[bwlq]?', m):
            kind = 'r'
        else:
            kind = 'rw'
        result.append((operand, kind))
    return result


def written_registers(instruction):
    m, ops = instruction.mnemonic, instruction.operands
    if instruction.is_call:
        return CALLER_SAVED
    if re.fullmatch(r'i?(mul|div)[bwlq]?', m) and len(ops) == 1 or m in ('cltd', 'cqto', 'cltq'):
        return {'rax', 'rdx'}
    if m.startswith(('cmp', 'test', 'ucomi', 'comi', 'bt', 'j', 'push', 'nop')) or not ops:
        return set()
    if m.startswith('xchg'):
        return {register(op) for op in ops}
    return {register(ops[-1])} if register(ops[-1]) else set()


class LoopView:
    """The memory objects of one loop: which pointer or stack slot an access
    goes through, so that accesses of the same object can be counted."""

    def __init__(self, function, body):
        self.function = function
        self.written = set().union(*(written_registers(i) for i in function.instructions(body)))
        self.position = {}
        for block in body:
            for index, instruction in enumerate(function.blocks[block]):
                self.position[instruction.address] = (block, index)

    def object_of(self, instruction, operand):
        match = MEMORY.match(operand)
        displacement = int(match.group(1) or '0', 0)
        parts = match.group(2).split(',')
        base = register(parts[0]) if parts[0] else None
        if base in (None, 'rip'):
            return None
        if base == 'rsp' or (base == 'rbp' and self.function.frame_pointer):
            return ('stack', base, displacement)
        if base not in self.written:
            return ('pointer', base)
        block, index = self.position[instruction.address]
        for earlier in reversed(self.function.blocks[block][:index]):  # reloaded in the loop
            if base in written_registers(earlier):
                if earlier.mnemonic == 'mov' and MEMORY.match(earlier.operands[0]):
                    return ('pointer', self.object_of(earlier, earlier.operands[0]))
                break
        return ('pointer?', instruction.address)


def is_gpr64_store(instruction):
    return (instruction.mnemonic in ('mov', 'movq') and len(instruction.operands) == 2
            and is_register64(instruction.operands[0]) and MEMORY.match(instruction.operands[1]))


def is_integer_read(instruction):
    return not instruction.mnemonic.startswith('f') and not any('%xmm' in op or '%st' in op
                                                              for op in instruction.operands)


def is_byte_store(instruction):
    m, ops = instruction.mnemonic, instruction.operands
    return (m.startswith('set') or m == 'movb'
            or (m == 'mov' and len(ops) == 2 and re.fullmatch(r'%(\w+l|[abcd]h|r\d+b)', ops[0])))


FEATURES = {
    'idiv': lambda i: re.fullmatch(r'idiv[bwlq]?', i.mnemonic),
    'div': lambda i: re.fullmatch(r'div[bwlq]?', i.mnemonic),
    'sqrt': lambda i: i.mnemonic in ('sqrtsd', 'vsqrtsd') or (i.is_call and i.callee == 'sqrt'),
    # unsigned 64-bit to double: GCC's cvtsi2sd of a 64-bit register (with the
    # halving for values >= 2^63), Clang's punpckldq/subpd sequence.
    'u64_to_double': lambda i: (re.fullmatch(r'v?cvtsi2sdq?', i.mnemonic) and (
        is_register64(i.operands[0]) or i.mnemonic.endswith('q')))
        or i.mnemonic in ('punpckldq', 'vpunpckldq', 'vcvtusi2sd', 'vcvtusi2sdq'),
    'compare': lambda i: i.mnemonic in ('ucomisd', 'comisd', 'vucomisd', 'vcomisd'),
    'x87_multiply': lambda i: i.mnemonic.startswith('fmul'),
    'x87_add': lambda i: re.match(r'f(add|sub)', i.mnemonic),
    'fused': lambda i: re.search(r'fn?m(add|sub)', i.mnemonic),
    'imul': lambda i: i.mnemonic.startswith('imul'),
    'mul128': lambda i: re.fullmatch(r'mulq?', i.mnemonic) and len(i.operands) == 1,
    'adc': lambda i: i.mnemonic.startswith('adc'),
}


# ---- What each loop must do ---------------------------------------------

# Library calls a loop may make; anything else in a loop is a fault.
ALLOWED_CALLS = {
    'frequency': {'sprintf', '__sprintf_chk'},
    'float': {'powl', 'sin', 'sqrt', 'log'},
    'integer': {'__floattidf', '__fixdfti', 'to_int128_saturating(double)', 'pow', 'sin', 'sqrt',
                'log'},
    'logic': set(),
}
LOOP_FUNCTIONS = {'effective_frequency_loop(': 'frequency', 'float_streaming_loop(': 'float',
                  'integer_streaming_loop(': 'integer', 'logic_streaming_loop(': 'logic'}


def kind_of_loop_function(name):
    for prefix, kind in LOOP_FUNCTIONS.items():
        if name.startswith(prefix):
            if kind in ('float', 'integer'):  # the overload says master or worker form
                return kind, 'worker' if 'log_of_rank' in name else 'master'
            return kind, None
    return None


class Path:
    """One path through one iteration: counts of features, calls and the
    accesses of the loop's index and cell."""

    def __init__(self, function, view, blocks):
        self.code = [i for b in blocks for i in function.blocks[b]]
        self.touched = [[(view.object_of(i, op), kind) for op, kind in accesses(i)]
                        for i in self.code]

    def count(self, feature):
        return sum(1 for i in self.code if FEATURES[feature](i))

    def calls(self, *names):
        return sum(1 for i in self.code if i.is_call and i.callee in names)

    def trace(self, obj):
        """(instruction, kind) of every access of obj, in order."""
        return [(i, kind) for i, touched in zip(self.code, self.touched)
                for o, kind in touched if o == obj]

    def objects(self):
        return {o for touched in self.touched for o, _ in touched if o is not None}

    def text(self):
        return '\n'.join(f'    {i.address:x}: {i.text}' for i in self.code)


def find_index(paths, reads_expected):
    """The volatile index: written first in every iteration by a 64-bit store
    (and, where the loop reads it back, read back by integer instructions)."""
    def fits(obj, path):
        trace = path.trace(obj)
        if not trace or trace[0][1] != 'w' or not is_gpr64_store(trace[0][0]):
            return False
        reads = [i for i, kind in trace if 'r' in kind]
        return all(is_integer_read(i) for i in reads) and (bool(reads) == reads_expected)
    return [o for o in paths[0].objects() if all(fits(o, p) for p in paths)]


def find_cell(paths, index):
    """The heap cell: reached through a pointer, read first and written last in
    every iteration (Float and Integer Streaming)."""
    def fits(obj, path):
        trace = path.trace(obj)
        return bool(trace) and 'r' in trace[0][1] and 'w' in trace[-1][1]
    return [o for o in paths[0].objects()
            if o != index and o[0] != 'stack' and all(fits(o, p) for p in paths)]


def check_loop(function, loop, kind, form):
    """Checks one loop; returns a line of evidence, raises Failure otherwise."""
    header, body, latches = loop
    view = LoopView(function, body)
    where = f'{function.name}, loop at {header:x}'
    excerpt = '\n'.join(f'    {i.address:x}: {i.text}' for i in function.instructions(body))
    problems = []

    calls = {i.callee for i in function.instructions(body) if i.is_call}
    allowed = ALLOWED_CALLS[kind] - (set() if form == 'worker' else {'log'})
    if calls - allowed:
        problems.append(f'calls {sorted(calls - allowed)}, which the loop must not call')
    jumps_out = [i for i in function.instructions(body) if i.mnemonic.startswith('jmp')
                 and i.target is None]
    if jumps_out:
        problems.append('an indirect jump in the loop')

    paths = [Path(function, view, blocks) for blocks in iteration_paths(function, *loop)]
    reads_index = kind in ('float', 'integer')
    index = find_index(paths, reads_index)
    if len(index) != 1:
        problems.append(f'the volatile index is not identified (candidates: {index})')
        index = None
    else:
        index = index[0]
    cell = None
    if kind in ('float', 'integer'):
        cells = find_cell(paths, index)
        if len(cells) != 1:
            problems.append(f'no single cell read at the start and written at the end of every '
                            f'iteration (candidates: {cells})')
        else:
            cell = cells[0]

    def per_path(description, value, expected, paths_checked):
        bad = [p for p in paths_checked if not expected(value(p))]
        if bad:
            problems.append(f'{description}: {value(bad[0])} on the path\n{bad[0].text()}')

    exactly = lambda n: (lambda v: v == n)
    at_least = lambda n: (lambda v: v >= n)
    every = paths
    if index is not None:
        per_path('stores of the volatile index', lambda p: sum('w' in k for _, k in p.trace(index)),
                 exactly(1), every)
        per_path('loads of the volatile index', lambda p: sum('r' in k for _, k in p.trace(index)),
                 exactly(3 if reads_index else 0), every)
    worker_log = 1 if form == 'worker' else 0

    if kind in ('float', 'integer'):
        # The steps both streaming recurrences share.
        per_path('idiv (1 / d)', lambda p: p.count('idiv'), exactly(1), every)
        per_path('div (i % (k + 1))', lambda p: p.count('div'), exactly(1), every)
        per_path('imul (k * k)', lambda p: p.count('imul'), at_least(1), every)
        per_path('unsigned 64-bit to double conversions', lambda p: p.count('u64_to_double'),
                 exactly(1), every)
        per_path('sqrtsd or sqrt calls', lambda p: p.count('sqrt'), exactly(1), every)
        per_path('sin calls', lambda p: p.calls('sin'), exactly(1), every)
        per_path('log calls', lambda p: p.calls('log'), exactly(worker_log), every)

    if kind == 'frequency':
        per_path('sprintf calls', lambda p: p.calls('sprintf', '__sprintf_chk'), exactly(4), every)
    elif kind == 'float':
        per_path('powl calls', lambda p: p.calls('powl'), exactly(1), every)
        per_path('x87 multiplies', lambda p: p.count('x87_multiply'), at_least(1), every)
        per_path('x87 adds and subtracts', lambda p: p.count('x87_add'), at_least(3), every)
        per_path('fused multiply-adds', lambda p: p.count('fused'), exactly(0), every)
    elif kind == 'integer':
        in_range = [p for p in paths
                    if p.calls('__fixdfti', 'to_int128_saturating(double)') == 2]
        if not in_range:
            problems.append('no path converts both values to __int128 by a call')
        per_path('__floattidf calls, cell to double', lambda p: p.calls('__floattidf'),
                 at_least(1), every)
        per_path('pow calls', lambda p: p.calls('pow'), exactly(1), every)
        per_path('__floattidf calls on in-range paths', lambda p: p.calls('__floattidf'),
                 exactly(2), in_range)
        per_path('128-bit multiplies (mul) on in-range paths', lambda p: p.count('mul128'),
                 exactly(1), in_range)
        per_path('128-bit adds (adc) on in-range paths', lambda p: p.count('adc'),
                 at_least(1), in_range)
    elif kind == 'logic':
        per_path('unsigned 64-bit to double conversions', lambda p: p.count('u64_to_double'),
                 exactly(1), every)
        per_path('compares with DBL_MAX', lambda p: p.count('compare'), exactly(1), every)
        per_path('byte stores of the outcome', lambda p: sum(
            1 for i, touched in zip(p.code, p.touched) if is_byte_store(i)
            and any(o is not None and o[0] != 'stack' and 'w' in k for o, k in touched)),
            exactly(1), every)

    if problems:
        raise Failure(f'{where}:\n  ' + '\n  '.join(problems) + f'\n  the loop:\n{excerpt}')
    size = len(function.instructions(body))
    return (f'{where}: {len(paths)} path(s) per iteration, {size} instructions, calls '
            f'{sorted(calls) or "none"}, index {index}' + (f', cell {cell}' if cell else ''))


# ---- The checks -------------------------------------------------------------

def check_bodies(functions):
    """Every loop in every loop function (and its clones) does its work."""
    evidence, failures = [], []
    found = defaultdict(int)
    for name, function in sorted(functions.items()):
        kind = kind_of_loop_function(name)
        if not kind:
            continue
        loops = function.loops()
        found[kind[0]] += 1
        if not loops:
            failures.append(f'{name}: no loop left')
        for loop in loops:
            try:
                evidence.append(check_loop(function, loop, *kind))
            except Failure as failure:
                failures.append(str(failure))
    for kind in LOOP_FUNCTIONS.values():
        if not found[kind]:
            failures.append(f'no {kind} loop function in the binary')
    return evidence, failures


TIMED_FORMS = {
    'effective_frequency_worker()': ('frequency', None),
    'float_streaming_master()': ('float', 'master'),
    'float_streaming_worker()': ('float', 'worker'),
    'integer_streaming_master()': ('integer', 'master'),
    'integer_streaming_worker()': ('integer', 'worker'),
    'logic_streaming_master()': ('logic', None),
    'logic_streaming_worker()': ('logic', None),
}


def reachable(function, starts, blocked):
    seen, stack = set(), [s for s in starts if s not in blocked]
    while stack:
        block = stack.pop()
        if block not in seen:
            seen.add(block)
            stack.extend(s for s in function.successors[block] if s not in blocked)
    return seen


def check_timer(function, kind, form, functions):
    """Between the two MPI_Wtime calls: the loop, by one call or inlined."""
    timers = [b for b, code in function.blocks.items()
              if code[-1].is_call and code[-1].callee == 'MPI_Wtime']
    if len(timers) != 2:
        raise Failure(f'{function.name}: {len(timers)} MPI_Wtime calls, not 2')
    start, stop = sorted(timers)
    # The bracketed blocks: reached from the first call without passing the
    # second, and reaching the second (calls end blocks, so the second call's
    # block holds nothing after it).
    forward = reachable(function, function.successors[start], {stop})
    backward, stack = set(), [stop]
    while stack:
        block = stack.pop()
        if block not in backward and block != start:
            backward.add(block)
            stack.extend(function.predecessors[block])
    region = (forward | {stop}) & backward
    code = [i for b in sorted(region) for i in function.blocks[b]
            if i is not function.blocks[stop][-1]]  # without the second MPI_Wtime
    calls = [i for i in code if i.is_call] + [
        i for i in code if i.mnemonic.startswith('jmp') and i.target_name and i.target is not None
        and i.target not in function.blocks]
    loop_calls = [i for i in calls if kind_of_loop_function(i.callee) == (kind, form)]
    listing = '\n'.join(f'    {i.address:x}: {i.text}' for i in code)
    if loop_calls:
        others = [i.callee for i in calls if i not in loop_calls]
        if len(loop_calls) != 1 or others:
            raise Failure(f'{function.name}: the timers bracket {[i.callee for i in calls]}; '
                          f'only one call of the loop is allowed\n{listing}')
        call_block = next(b for b in region if loop_calls[0] in function.blocks[b])
        if stop in reachable(function, function.successors[start], {call_block}):
            raise Failure(f'{function.name}: a path between the timers skips the loop\n{listing}')
        callee = loop_calls[0].callee
        if callee not in functions:
            raise Failure(f'{function.name}: calls {callee}, which is not in the binary')
        return f'{function.name}: brackets one call of {callee}'
    # Inlined: every call belongs to the loop, every path runs the loop.
    allowed = ALLOWED_CALLS[kind] - (set() if form == 'worker' else {'log'})
    others = [i.callee for i in calls if i.callee not in allowed]
    if others:
        raise Failure(f'{function.name}: the timers bracket calls of {others}\n{listing}')
    loops = [loop for loop in function.loops() if loop[0] in region]
    if not loops:
        raise Failure(f'{function.name}: no loop between the timers\n{listing}')
    if stop in reachable(function, function.successors[start], {loop[0] for loop in loops}):
        raise Failure(f'{function.name}: a path between the timers skips the loop\n{listing}')
    evidence = [check_loop(function, loop, kind, form) for loop in loops]
    return f'{function.name}: brackets the inlined loop\n    ' + '\n    '.join(evidence)


def check_timers(functions):
    evidence, failures = [], []
    for name, (kind, form) in TIMED_FORMS.items():
        if name not in functions:
            failures.append(f'{name} is not in the binary')
            continue
        try:
            evidence.append(check_timer(functions[name], kind, form, functions))
        except Failure as failure:
            failures.append(str(failure))
    return evidence, failures


# ---- Planted faults --------------------------------------------------------

# Each fault edits the disassembly the way a compiler fault would change the
# code; the named check must then fail with the given words.
FAULTS = [
    ('1 / d folded into a compare', r'\bidivl?\s+%\w+', 'nop', 'bodies', 'idiv (1 / d)'),
    ('i % (k + 1) dropped', r'\bdivq?\s+%\w+', 'nop', 'bodies', 'div (i % (k + 1))'),
    ('a sprintf dropped', r'call\s+[0-9a-f]+ <sprintf@plt>', 'nop', 'bodies', 'sprintf calls'),
    ('log hoisted out of the loop', r'call\s+[0-9a-f]+ <log@plt>', 'nop', 'bodies', 'log calls'),
    ('sqrt folded', r'\bsqrtsd\s+%xmm\d+,(%xmm\d+)', r'movapd %xmm0,\1', 'bodies', 'sqrtsd or sqrt'),
    ('the outcome not stored', r'\bset(a|b|ae|be|nb|nbe)\s+\(%\w+\)', r'set\1 %al', 'bodies',
     'byte stores of the outcome'),
    ('new between the timers', r'<powl@plt>', '<operator new(unsigned long)@plt>', 'timers',
     'operator new'),
    ('an extra call between the timers', r'<sin@plt>', '<printf@plt>', 'timers', 'printf'),
]


def check_faults(objdump, binary):
    text = subprocess.run([objdump, '-d', '--no-show-raw-insn', '-C', binary], check=True,
                          capture_output=True, text=True).stdout
    evidence, failures = [], []
    for description, pattern, replacement, check, words in FAULTS:
        planted, count = re.subn(pattern, replacement, text)
        if count == 0:
            failures.append(f'{description}: the pattern {pattern!r} is not in the code')
            continue
        _, found = CHECKS[check](parse_functions(planted.splitlines()))
        if any(words in failure for failure in found):
            evidence.append(f'caught: {description} ({count} places)')
        else:
            failures.append(f'{description}: the {check} check did not report {words!r}; '
                            f'it reported {found}')
    return evidence, failures


CHECKS = {'bodies': check_bodies, 'timers': check_timers}


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in ('bodies', 'timers', 'faults'):
        sys.exit(__doc__)
    objdump, binary, check = sys.argv[1:]
    if check == 'faults':
        evidence, failures = check_faults(objdump, binary)
    else:
        evidence, failures = CHECKS[check](read_functions(objdump, binary))
    print('\n'.join(evidence))
    if failures:
        print('\nFAILED:\n' + '\n\n'.join(failures), file=sys.stderr)
        sys.exit(1)
    print(f'{check}: all checks passed')


if __name__ == '__main__':
    main()
