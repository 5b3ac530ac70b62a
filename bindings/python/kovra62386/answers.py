"""What an answer of control gear says, in words: the same words as the
``kovra62386`` CLI prints, from the same table (dali/gear_commands.def).

    answer_meaning(k.gear.QUERY_STATUS, 0x14)  # 'status: lamp on, fade running'
"""

from . import _commands

_MASK = 0xFF
_YES = 0xFF


def device_type_name(device_type):
    """'LED module' for 6; 'device type 42' for unknown ones."""
    return _commands.DEVICE_TYPES.get(device_type, "device type %d" % device_type)


def status_text(status):
    """'lamp on, fade running'; 'lamp off' first when bit 2 is clear."""
    words = [] if status & 0x04 else ["lamp off"]
    words += [w for bit, w in enumerate(_commands.STATUS_BITS) if status >> bit & 1]
    return ", ".join(words)


def group_list(mask):
    """Bits 0-15 of the mask as group numbers."""
    return [g for g in range(16) if mask >> g & 1]


def group_text(mask):
    """'0, 3, 7' or '-'."""
    return ", ".join(str(g) for g in group_list(mask)) or "-"


def level_text(level):
    """'254', or 'MASK (unknown)' for 255."""
    return "MASK (unknown)" if level == _MASK else str(level)


def _answer_entry(opcode):
    for first, span, _, _ in _commands.GEAR_TABLE:
        if first <= opcode < first + span and first in _commands.ANSWERS:
            return first, _commands.ANSWERS[first]
    return None, None


def is_yes_no_query(opcode):
    """Whether no answer means "no"."""
    entry = _answer_entry(opcode)[1]
    return entry is not None and entry[0] == "YesNo"


def answer_meaning(opcode, answer):
    """What the answer byte to the gear command `opcode` means: 'yes',
    'actual level 200', 'device type: LED module'; '' when there is nothing
    to add to the number."""
    first, entry = _answer_entry(opcode)
    if entry is None:
        return ""
    form, words = entry
    if form == "YesNo":
        return "yes" if answer == _YES else ""
    if form == "Status":
        return "%s: %s" % (words, status_text(answer))
    if form == "Version":
        return "%s %d.%d" % (words, answer >> 2, answer & 0x03)
    if form == "DeviceType":
        return "%s: %s" % (words, device_type_name(answer))
    if form == "Level":
        return "%s %s" % (words, level_text(answer))
    if form == "FadeTimeRate":
        return "fade time %d, fade rate %d" % (answer >> 4, answer & 0x0F)
    if form == "GroupsLow":
        return "%s: %s" % (words, group_text(answer))
    if form == "GroupsHigh":
        return "%s: %s" % (words, group_text(answer << 8))
    if form == "SceneLevel":
        level = "MASK (not in scene)" if answer == _MASK else str(answer)
        return "%s %d level %s" % (words, opcode - first, level)
    return ""
