-- dyadc.lua: a Wireshark dissector for dyadc, the protocol with which two
-- workstations of one local network pair and then carry named, typed blocks
-- of data (libdyadc).
--
-- UDP port 8181: the Responder's announce to the group 239.192.8.1, the
-- pairing identifier's bytes followed by one NUL.
--
-- TCP port 8181: the side that connects is the Initiator. Lines end with CR LF.
--   A handshake connection (the first after an announce) carries the
--   Initiator's computer name, the reply "000 OK" or "001 CANCEL", the
--   Initiator's library version, and the reply "000 OK" or "24 UPDT" (the
--   Responder wants the Initiator's newer library); then it closes.
--   Every later connection is a data connection: "put FIRST|SECOND|LENGTH|TYPE",
--   the go-ahead "000 OK", exactly LENGTH raw bytes, the final acknowledgement
--   "000 Ok"; "quit 23" ends the pairing. Either side may send a "put" while
--   the connection is open.
--
-- A connection is a handshake or a data connection by its first line: a
-- computer name holds no blank, a command has its arguments after one.
-- Lines are reassembled across TCP segments; block bytes are marked segment
-- by segment, so a block of any size needs no reassembly. Each direction of a
-- connection is read the way its reader reads it: a "put" line whose four
-- fields are all there is followed by exactly LENGTH raw bytes in the same
-- direction, and while one side waits for a reply every line of the other is
-- one. The state of every connection is kept per frame, so that frames decode
-- the same when they are dissected again in any order. Retransmitted bytes
-- are skipped; bytes missing from a capture only shorten the block they fell
-- in, or, past its end, make reading start afresh at the next segment.
--
-- Install: copy this file into a folder from which Wireshark loads Lua plugins
-- ("tshark -G folders" lists them), or pass it with -X lua_script:dyadc.lua.

local PORT = 8181
local TWO32 = 4294967296

-- A line is reassembled up to this many bytes; a longer one (no sender of the
-- library writes one) is shown piece by piece as it arrives.
local LINE_REASSEMBLY_LIMIT = 4096
-- How much of a line each reader keeps: a command line, a reply line, and the
-- handshake's computer name line (CR LF included).
local COMMAND_KEEP = 2045
local REPLY_KEEP = 1023
local NAME_KEEP = 259
-- The longest identifier an Initiator can match, and the most bytes of an
-- announce that it reads.
local IDENTIFIER_LIMIT = 63
local ANNOUNCE_READ_LIMIT = 100
-- Items named in the Info column of one frame.
local INFO_LIMIT = 6

local BLOCK_LAST, BLOCK_FIRST, BLOCK_MORE = 20, 21, 22
local UPDATE_CODE, QUIT_CODE = 24, 23

local dyadc = Proto("dyadc", "dyadc pairing and data blocks")

local block_types = {
    [BLOCK_LAST] = "last block of a series",
    [BLOCK_FIRST] = "first block of a series",
    [BLOCK_MORE] = "further block of a series",
}

local pf = {
    identifier = ProtoField.string("dyadc.identifier", "Pairing identifier"),
    connection = ProtoField.string("dyadc.connection", "Connection"),
    direction = ProtoField.string("dyadc.direction", "Direction"),
    line = ProtoField.string("dyadc.line", "Line"),
    name = ProtoField.string("dyadc.name", "Computer name"),
    version = ProtoField.string("dyadc.version", "Library version"),
    command = ProtoField.string("dyadc.command", "Command"),
    first = ProtoField.string("dyadc.first", "First name"),
    second = ProtoField.string("dyadc.second", "Second name"),
    length = ProtoField.uint32("dyadc.length", "Block length", base.DEC),
    type = ProtoField.int32("dyadc.type", "Block type", base.DEC),
    quit_code = ProtoField.int32("dyadc.quit_code", "Quit code", base.DEC),
    reply_code = ProtoField.int32("dyadc.reply_code", "Reply code", base.DEC),
    reply = ProtoField.string("dyadc.reply", "Reply"),
    data = ProtoField.bytes("dyadc.data", "Block data"),
    data_offset = ProtoField.uint32("dyadc.data_offset", "Offset in the block", base.DEC),
    data_length = ProtoField.uint32("dyadc.data_length", "Bytes of the block here", base.DEC),
}
dyadc.fields = {
    pf.identifier, pf.connection, pf.direction, pf.line, pf.name, pf.version, pf.command, pf.first,
    pf.second, pf.length, pf.type, pf.quit_code, pf.reply_code, pf.reply, pf.data, pf.data_offset,
    pf.data_length,
}

local ex = {
    announce = ProtoExpert.new("dyadc.announce.odd", "Announce is not an identifier and one NUL",
        expert.group.PROTOCOL, expert.severity.WARN),
    header = ProtoExpert.new("dyadc.put.incomplete", "Header lacks a field: the receiver ignores it",
        expert.group.MALFORMED, expert.severity.WARN),
    long_line = ProtoExpert.new("dyadc.line.long", "Line longer than its reader keeps",
        expert.group.PROTOCOL, expert.severity.WARN),
    unexpected = ProtoExpert.new("dyadc.unexpected", "Line out of sequence",
        expert.group.SEQUENCE, expert.severity.WARN),
    refused = ProtoExpert.new("dyadc.refused", "Pairing refused",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    update = ProtoExpert.new("dyadc.update", "Library update wanted",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    retransmitted = ProtoExpert.new("dyadc.retransmitted", "Bytes dissected before (retransmission)",
        expert.group.SEQUENCE, expert.severity.NOTE),
    missing = ProtoExpert.new("dyadc.missing", "Bytes not captured",
        expert.group.SEQUENCE, expert.severity.WARN),
}
dyadc.experts = {
    ex.announce, ex.header, ex.long_line, ex.unexpected, ex.refused, ex.update, ex.retransmitted, ex.missing,
}

local f_stream = Field.new("tcp.stream")
local f_seq_raw = Field.new("tcp.seq_raw")
local f_tcp_len = Field.new("tcp.len")

-- Conversation state by TCP stream, and the state each frame started from.
local conversations = {}
local frame_states = {}

function dyadc.init()
    conversations = {}
    frame_states = {}
end

-- --- Text as the library reads it ------------------------------------------

local COMMAND_SEPARATORS = { [32] = true, [13] = true, [10] = true }
local FIELD_SEPARATORS = { [124] = true }

local function is_space(byte)
    return byte == 32 or (byte >= 9 and byte <= 13)
end

-- C string functions stop at the first NUL.
local function until_nul(text)
    local nul = text:find("\0", 1, true)
    if nul then return text:sub(1, nul - 1) end
    return text
end

-- strtok: skips leading separators and ends the token at the next one.
-- Returns the token, its first position, and where the next search starts.
local function next_token(text, at, separators)
    local n = #text
    while at <= n and separators[text:byte(at)] do at = at + 1 end
    if at > n then return nil, at, at end
    local first = at
    while at <= n and not separators[text:byte(at)] do at = at + 1 end
    return text:sub(first, at - 1), first, at + 1
end

-- atol over a 64-bit long (held at its ends when out of range), then the low
-- 32 bits, as the receiver keeps the header's numbers. Returns 0 .. 2^32-1.
local function low32(text)
    local at, n = 1, #text
    while at <= n and is_space(text:byte(at)) do at = at + 1 end
    local sign = text:sub(at, at)
    local negative = sign == "-"
    if sign == "-" or sign == "+" then at = at + 1 end
    local digits = (text:match("^%d+", at) or ""):gsub("^0+", "")
    local limit = negative and "9223372036854775808" or "9223372036854775807"
    if #digits > #limit or (#digits == #limit and digits > limit) then
        return negative and 0 or TWO32 - 1
    end
    local value = 0
    for i = 1, #digits do value = (value * 10 + digits:byte(i) - 48) % TWO32 end
    if negative then value = (TWO32 - value) % TWO32 end
    return value
end

local function signed32(value)
    if value >= 2147483648 then return value - TWO32 end
    return value
end

-- A reply's code: its first three characters read the way atoi reads them.
local function reply_code(line)
    local key = until_nul(line:sub(1, 3))
    local at, n = 1, #key
    while at <= n and is_space(key:byte(at)) do at = at + 1 end
    local negative = false
    local sign = key:sub(at, at)
    if sign == "-" or sign == "+" then
        negative = sign == "-"
        at = at + 1
    end
    local value = 0
    while at <= n do
        local byte = key:byte(at)
        if byte < 48 or byte > 57 then break end
        value = value * 10 + byte - 48
        at = at + 1
    end
    return negative and -value or value
end

-- The first four bytes of a line as the reply reader compares them (its
-- buffer holds zeros past the line).
local function first_four(line)
    return (line .. "\0\0\0\0"):sub(1, 4)
end

local function without_line_end(text)
    return (text:gsub("\r?\n$", ""))
end

-- Printable text for the tree and the Info column.
local function shown(text, limit)
    limit = limit or 64
    local cut = #text > limit
    if cut then text = text:sub(1, limit) end
    text = text:gsub("[%c\127-\255]", function(c)
        if c == "\r" then return "\\r" elseif c == "\n" then return "\\n" end
        return string.format("\\x%02x", c:byte())
    end)
    return cut and text .. "..." or text
end

-- A name or text as a field's value: bytes outside ASCII, which the library
-- passes on as they are, shown as \xNN.
local function field_text(text)
    return (text:gsub("[\128-\255]", function(c) return string.format("\\x%02x", c:byte()) end))
end

local function type_text(value)
    return block_types[value] or "single block"
end

-- --- Connection state ------------------------------------------------------

local function new_side()
    return {
        remaining = 0,    -- bytes of the current block still to come
        block_length = 0, -- its length
        block_done = 0,   -- its bytes seen so far
        carry = nil,      -- the start of a line that could not be reassembled
        carry_length = 0,
        reply_key = nil,  -- a reply of several lines in progress: its first four bytes
        reply_role = nil,
        reply_code = 0,
        lines = 0,        -- lines (handshake) or replies sent by this side
        next_seq = nil,   -- raw sequence number after the last segment dissected
        seq_frame = nil,  -- and its frame
    }
end

local function new_conversation(pinfo)
    -- The connecting side is the one whose destination is the protocol's
    -- port; with both ports at 8181, the first to send.
    local client_is_src = pinfo.dst_port == PORT or pinfo.src_port ~= PORT
    local conversation = {
        client_address = tostring(client_is_src and pinfo.src or pinfo.dst),
        client_port = client_is_src and pinfo.src_port or pinfo.dst_port,
        kind = nil, -- "handshake" or "data", decided by the first line
        sides = { i = new_side(), r = new_side() },
        owed = { i = {}, r = {} }, -- replies each side owes for the last header, oldest first
    }
    return conversation
end

local function copy(value)
    if type(value) ~= "table" then return value end
    local result = {}
    for k, v in pairs(value) do result[k] = copy(v) end
    return result
end

local function other(side)
    return side == "i" and "r" or "i"
end

local function side_name(side)
    return side == "i" and "Initiator" or "Responder"
end

-- Modular comparison of 32-bit sequence numbers: a is at or after b.
local function seq_after_or_at(a, b)
    return (a - b) % TWO32 < 2147483648
end

-- --- One frame's dissection ------------------------------------------------

-- ctx: tvb, pinfo, tree (the protocol's subtree), conversation, side (the
-- sender of these bytes), info (texts for the Info column).

local function note(ctx, text)
    local info = ctx.info
    if #info < INFO_LIMIT then
        info[#info + 1] = text
    elseif #info == INFO_LIMIT then
        info[#info + 1] = "..."
    end
end

-- Adds a field over the `width` bytes of a line from position `at` that hold
-- it. A line that began in an earlier frame has no bytes here for its start:
-- its fields cover the part that is here.
local function add_field(item, field, line, at, width, value)
    if type(value) == "string" then value = field_text(value) end
    local available = line.range:len() - (at - 1)
    if line.carried or available <= 0 then
        return item:add(field, line.range, value)
    end
    return item:add(field, line.range:range(at - 1, math.max(math.min(width, available), 0)), value)
end

-- The item of one line; `keep` is how much of it its reader keeps.
local function add_line_item(ctx, line, label, keep)
    local item = ctx.tree:add(pf.line, line.range, line.shown)
    item:set_text(label .. ": " .. line.shown)
    if line.carried then
        item:append_text(string.format(" (line began in an earlier frame; %d bytes)", line.length))
    end
    if line.length > keep then
        item:add_proto_expert_info(ex.long_line,
            string.format("Line of %d bytes: its reader keeps the first %d", line.length, keep))
    end
    return item
end

local function reply_line(ctx, line, role_of_first)
    local side = ctx.conversation.sides[ctx.side]
    local text = line.text:sub(1, REPLY_KEEP)
    if side.reply_key then
        if first_four(text) == side.reply_key then
            add_line_item(ctx, line, "Reply ends", REPLY_KEEP)
            note(ctx, string.format("end of reply %d", side.reply_code))
            side.reply_key = nil
        else
            add_line_item(ctx, line, "Reply continues", REPLY_KEEP)
            note(ctx, "reply continues")
        end
        return
    end
    local code = reply_code(text)
    local role = role_of_first(code)
    local item = add_line_item(ctx, line, role, REPLY_KEEP)
    local reply = without_line_end(until_nul(text))
    add_field(item, pf.reply, line, 1, #reply, reply)
    add_field(item, pf.reply_code, line, 1, 3, code)
    if text:sub(4, 4) == "-" then
        side.reply_key = first_four(text:sub(1, 3) .. " ")
        side.reply_role = role
        side.reply_code = code
        item:append_text(" (first of several lines)")
        note(ctx, string.format("%s: %s (continues)", role, shown(without_line_end(text), 24)))
    else
        note(ctx, string.format("%s: %s", role, shown(without_line_end(text), 24)))
    end
    return item, code
end

local function handshake_line(ctx, line)
    local conversation = ctx.conversation
    local side = conversation.sides[ctx.side]
    if ctx.side == "i" then
        side.lines = side.lines + 1
        if side.lines == 1 then
            -- The Responder keeps 259 bytes of the line and drops its last two
            -- (the CR LF): the rest is the name its host is asked about.
            local kept = until_nul(line.text:sub(1, NAME_KEEP))
            local name = kept:sub(1, math.max(#kept - 2, 0))
            local item = add_line_item(ctx, line, "Computer name", NAME_KEEP)
            add_field(item, pf.name, line, 1, #name, name)
            note(ctx, "Computer name " .. shown(name, 32))
        elseif side.lines == 2 then
            local version = without_line_end(until_nul(line.text:sub(1, NAME_KEEP)))
            local item = add_line_item(ctx, line, "Library version", NAME_KEEP)
            add_field(item, pf.version, line, 1, #version, version)
            note(ctx, "Version " .. (version == "" and "(none)" or shown(version, 16)))
        else
            local item = add_line_item(ctx, line, "Line after the handshake", NAME_KEEP)
            item:add_proto_expert_info(ex.unexpected)
            note(ctx, "Unexpected line")
        end
        return
    end
    reply_line(ctx, line, function(code)
        side.lines = side.lines + 1
        if side.lines == 1 then
            if code == 0 then return "Name accepted" end
            ctx.tree:add_proto_expert_info(ex.refused, string.format("Computer name refused (code %d)", code))
            return "Name refused"
        elseif side.lines == 2 then
            if code == UPDATE_CODE then
                ctx.tree:add_proto_expert_info(ex.update,
                    "The Responder wants the Initiator's library; it follows on the next connection")
                return "Update wanted"
            end
            return "Pairing complete"
        end
        ctx.tree:add_proto_expert_info(ex.unexpected, "Reply after the handshake")
        return "Unexpected reply"
    end)
end

local function put_line(ctx, line, text)
    local conversation = ctx.conversation
    local side = conversation.sides[ctx.side]
    local item = add_line_item(ctx, line, "put", COMMAND_KEEP)
    add_field(item, pf.command, line, 1, 3, "put")
    -- The fields, split the way the receiver splits them: names up to "|",
    -- the length up to "|", the type up to a blank or the line end.
    local _, cursor
    local first, second, length_text, type_text_raw
    local first_at, second_at, length_at, type_at
    _, _, cursor = next_token(text, 1, COMMAND_SEPARATORS)
    first, first_at, cursor = next_token(text, cursor, FIELD_SEPARATORS)
    if first then second, second_at, cursor = next_token(text, cursor, FIELD_SEPARATORS) end
    if second then length_text, length_at, cursor = next_token(text, cursor, FIELD_SEPARATORS) end
    if length_text then type_text_raw, type_at, cursor = next_token(text, cursor, COMMAND_SEPARATORS) end
    if first then add_field(item, pf.first, line, first_at, #first, first) end
    if second then add_field(item, pf.second, line, second_at, #second, second) end
    local length
    if length_text then
        length = low32(length_text)
        add_field(item, pf.length, line, length_at, #length_text, length):append_text(
            length >= 2147483648 and string.format(" (sent as %s)", shown(length_text, 24)) or "")
    end
    local block_type
    if type_text_raw then
        block_type = signed32(low32(type_text_raw))
        add_field(item, pf.type, line, type_at, #type_text_raw, block_type):append_text(
            " (" .. type_text(block_type) .. ")")
    end
    if not block_type then
        item:add_proto_expert_info(ex.header)
        note(ctx, "put (incomplete header)")
        return
    end
    item:set_text(string.format("put: %s|%s, %u bytes, type %d (%s)", shown(first, 48), shown(second, 48),
        length, block_type, type_text(block_type)))
    local update = first == "dyadc.dl_" and " (library update)" or ""
    note(ctx, string.format("put %s|%s|%u|%d%s", shown(first, 32), shown(second, 32), length, block_type, update))
    -- The receiver answers with the go-ahead and, once every byte is there,
    -- the final acknowledgement; the bytes follow the header directly. The
    -- sender reads the next replies as these, whatever came before.
    conversation.owed[other(ctx.side)] = { "Go-ahead", "Final acknowledgement" }
    side.remaining = length
    side.block_length = length
    side.block_done = 0
end

local function quit_line(ctx, line, text)
    local item = add_line_item(ctx, line, "quit", COMMAND_KEEP)
    add_field(item, pf.command, line, 1, 4, "quit")
    local _, _, cursor = next_token(text, 1, COMMAND_SEPARATORS)
    local number, number_at = next_token(text, cursor, COMMAND_SEPARATORS)
    if number then
        local code = signed32(low32(number))
        add_field(item, pf.quit_code, line, number_at, #number, code)
        item:set_text(string.format("quit %d%s", code, code == QUIT_CODE and ": the Initiator closes the pairing" or ""))
        note(ctx, string.format("quit %d", code))
    else
        note(ctx, "quit")
    end
end

local function data_line(ctx, line)
    local conversation = ctx.conversation
    local side = conversation.sides[ctx.side]
    local owed = conversation.owed[ctx.side]
    -- While the other side waits for a reply from this one, it reads every
    -- line as a reply, whatever it holds (a line without a code counts as
    -- code 0), and a reply of several lines to its end. It passes over
    -- replies with a code other than 0 and reads on.
    if side.reply_key or owed[1] ~= nil then
        reply_line(ctx, line, function(code)
            if code ~= 0 then return "Reply passed over" end
            return table.remove(owed, 1)
        end)
        return
    end
    -- Otherwise it reads commands and ignores any other line.
    local text = until_nul(line.text:sub(1, COMMAND_KEEP))
    local word = next_token(text, 1, COMMAND_SEPARATORS)
    if word == "put" then
        put_line(ctx, line, text)
    elseif word == "quit" then
        quit_line(ctx, line, text)
    elseif text:sub(1, 3):match("^%s*[-+]?%d") then
        local item = add_line_item(ctx, line, "Reply that nothing waits for", COMMAND_KEEP)
        add_field(item, pf.reply_code, line, 1, 3, reply_code(text))
        note(ctx, "Unexpected reply " .. shown(without_line_end(text), 24))
    else
        add_line_item(ctx, line, "Line the receiver ignores", COMMAND_KEEP)
        note(ctx, "Ignored line " .. shown(without_line_end(text), 24))
    end
end

local function dissect_line(ctx, line)
    local conversation = ctx.conversation
    if conversation.kind == nil then
        -- A handshake starts with the Initiator's computer name, which holds
        -- no blank; a data connection with a command and its arguments.
        local kind = "data"
        if ctx.side == "i" then
            local text = until_nul(line.text:sub(1, COMMAND_KEEP))
            local word, _, cursor = next_token(text, 1, COMMAND_SEPARATORS)
            local argument = word and next_token(text, cursor, COMMAND_SEPARATORS)
            if not ((word == "put" or word == "quit") and argument) then kind = "handshake" end
        end
        conversation.kind = kind
    end
    if conversation.kind == "handshake" then
        handshake_line(ctx, line)
    else
        data_line(ctx, line)
    end
end

local function dissect_block_bytes(ctx, offset, count)
    local side = ctx.conversation.sides[ctx.side]
    local range = ctx.tvb:range(offset, count)
    local first = side.block_done
    side.block_done = side.block_done + count
    side.remaining = side.remaining - count
    local item = ctx.tree:add(pf.data, range)
    item:set_text(string.format("Block data: %d bytes, %u to %u of %u", count, first, side.block_done - 1,
        side.block_length))
    item:add(pf.data_offset, range, first):set_generated()
    item:add(pf.data_length, range, count):set_generated()
    if side.remaining == 0 then
        item:append_text(" (end of block)")
        note(ctx, string.format("Block data %d bytes (end of %u)", count, side.block_length))
    else
        note(ctx, string.format("Block data %d bytes (%u of %u)", count, side.block_done, side.block_length))
    end
end

-- Walks this call's bytes. Returns the offset at which reassembly must go on,
-- or nil when every byte was dissected.
local function dissect_stream(ctx)
    local tvb, pinfo = ctx.tvb, ctx.pinfo
    local side = ctx.conversation.sides[ctx.side]
    local offset, length = 0, tvb:len()
    while offset < length do
        if side.remaining > 0 then
            local count = math.min(side.remaining, length - offset)
            dissect_block_bytes(ctx, offset, count)
            offset = offset + count
        else
            local rest = length - offset
            local window = math.min(rest, LINE_REASSEMBLY_LIMIT)
            local bytes = tvb:raw(offset, window)
            local lf = bytes:find("\n", 1, true)
            if lf == nil and rest > window then
                -- Longer than a line is reassembled: its end may still be here.
                local beyond = tvb:raw(offset + window, rest - window):find("\n", 1, true)
                if beyond then lf = window + beyond end
            end
            if lf == nil and side.carry == nil and rest < LINE_REASSEMBLY_LIMIT and pinfo.can_desegment > 0 then
                return offset
            end
            local take = lf or rest
            local range = tvb:range(offset, take)
            local piece = bytes:sub(1, math.min(take, COMMAND_KEEP))
            local carried = side.carry ~= nil
            local text = ((side.carry or "") .. piece):sub(1, COMMAND_KEEP)
            if lf then
                local line_length = side.carry_length + take
                side.carry, side.carry_length = nil, 0
                dissect_line(ctx, {
                    text = text, range = range, carried = carried, length = line_length,
                    shown = shown(text, 120),
                })
            else
                -- No end in sight: keep the line's start for when it ends.
                side.carry = text
                side.carry_length = side.carry_length + take
                local item = ctx.tree:add(pf.line, range, shown(piece, 120))
                item:set_text(string.format("Line continues in a later frame (%d bytes so far): %s",
                    side.carry_length, shown(piece, 60)))
                if side.carry_length >= LINE_REASSEMBLY_LIMIT then item:add_proto_expert_info(ex.long_line) end
                note(ctx, "Part of a line")
            end
            offset = offset + take
        end
    end
    return nil
end

local function dissect_tcp(tvb, pinfo, tree)
    local stream_field = f_stream()
    if stream_field == nil then return 0 end
    local stream = stream_field.value
    local frame = pinfo.number

    local conversation
    if not pinfo.visited then
        conversation = conversations[stream]
        if conversation == nil then
            conversation = new_conversation(pinfo)
            conversations[stream] = conversation
        end
        -- Remember where this frame starts, for later passes.
        local states = frame_states[frame]
        if states == nil then
            states = {}
            frame_states[frame] = states
        end
        states[#states + 1] = { length = tvb:len(), conversation = copy(conversation) }
    else
        local states = frame_states[frame]
        if states == nil then return 0 end
        local snapshot = states[1]
        for _, candidate in ipairs(states) do
            if candidate.length == tvb:len() then
                snapshot = candidate
                break
            end
        end
        conversation = copy(snapshot.conversation)
    end

    local from_client = tostring(pinfo.src) == conversation.client_address and pinfo.src_port == conversation.client_port
    local side = from_client and "i" or "r"

    local direction = string.format("%s to %s", side_name(side), side_name(other(side)))

    -- A segment whose bytes were all dissected before is a retransmission;
    -- one that starts after the end of the last is preceded by bytes that
    -- the capture lacks.
    local seq_field, len_field = f_seq_raw(), f_tcp_len()
    local state = conversation.sides[side]
    local missing = 0
    if seq_field and len_field and state.seq_frame ~= frame then
        local segment_start = seq_field.value
        local segment_end = (segment_start + len_field.value) % TWO32
        if state.next_seq ~= nil then
            if seq_after_or_at(state.next_seq, segment_end) then
                pinfo.cols.protocol = "DYADC"
                local subtree = tree:add(dyadc, tvb())
                subtree:add(pf.direction, direction):set_generated()
                subtree:add_proto_expert_info(ex.retransmitted)
                pinfo.cols.info:set("Retransmitted bytes")
                return tvb:len()
            end
            local gap = (segment_start - state.next_seq) % TWO32
            if gap < 2147483648 then missing = gap end
        end
        state.next_seq = segment_end
        state.seq_frame = frame
    end
    -- Missing bytes within a block only shorten what is marked of it.
    -- Missing bytes past its end held lines: reading starts afresh here, as
    -- a sender starts each line with a segment of its own.
    local lost = false
    if missing > 0 then
        if state.remaining >= missing then
            state.remaining = state.remaining - missing
            state.block_done = state.block_done + missing
        else
            lost = true
            state.remaining, state.carry, state.carry_length, state.reply_key = 0, nil, 0, nil
        end
    end

    -- The start of a line whose end is not here yet: wait for more.
    if missing == 0 and state.remaining == 0 and state.carry == nil and pinfo.can_desegment > 0
        and tvb:len() < LINE_REASSEMBLY_LIMIT and not tvb:raw():find("\n", 1, true) then
        pinfo.desegment_offset = 0
        pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
        return tvb:len()
    end

    pinfo.cols.protocol = "DYADC"
    local subtree = tree:add(dyadc, tvb())
    subtree:add(pf.direction, direction):set_generated()

    local ctx = {
        tvb = tvb, pinfo = pinfo, tree = subtree, conversation = conversation, side = side, info = {},
    }
    if lost then
        subtree:add_proto_expert_info(ex.missing,
            string.format("%d bytes before this segment were not captured; lines are read afresh from here", missing))
        note(ctx, string.format("%d bytes not captured", missing))
    elseif missing > 0 then
        subtree:add_proto_expert_info(ex.missing,
            string.format("%d bytes of the block before this segment were not captured", missing))
        note(ctx, string.format("%d block bytes not captured", missing))
    end
    local resume = dissect_stream(ctx)
    if conversation.kind then
        subtree:add(pf.connection, conversation.kind):set_generated()
        subtree:append_text(string.format(", %s connection, %s to %s", conversation.kind, side_name(side),
            side_name(other(side))))
    end
    if resume ~= nil then
        pinfo.desegment_offset = resume
        pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
    end
    if #ctx.info > 0 then
        pinfo.cols.info:set(string.format("%s: %s", side_name(side), table.concat(ctx.info, ", ")))
    end
    return tvb:len()
end

local function dissect_announce(tvb, pinfo, tree)
    pinfo.cols.protocol = "DYADC"
    local length = tvb:len()
    local subtree = tree:add(dyadc, tvb(), "dyadc announce")
    -- The Initiator reads up to 100 bytes and takes the text before the NUL.
    local read = math.min(length, ANNOUNCE_READ_LIMIT)
    local bytes = read > 0 and tvb:raw(0, read) or ""
    local nul = bytes:find("\0", 1, true)
    local text = nul and bytes:sub(1, nul - 1) or bytes
    local item
    if #text > 0 then
        item = subtree:add(pf.identifier, tvb:range(0, #text), field_text(text))
    else
        item = subtree:add(pf.identifier, text)
    end
    if nul == nil then
        item:add_proto_expert_info(ex.announce, "No NUL after the identifier")
    elseif nul ~= length then
        item:add_proto_expert_info(ex.announce, string.format("%d bytes after the NUL", length - nul))
    end
    if #text > IDENTIFIER_LIMIT then
        item:add_proto_expert_info(ex.announce,
            string.format("Identifier of %d characters: no Initiator holds one longer than %d", #text,
                IDENTIFIER_LIMIT))
    end
    pinfo.cols.info:set("Announce " .. shown(text, 64))
    return length
end

function dyadc.dissector(tvb, pinfo, tree)
    if pinfo.port_type == 2 then -- TCP
        return dissect_tcp(tvb, pinfo, tree)
    end
    return dissect_announce(tvb, pinfo, tree)
end

DissectorTable.get("tcp.port"):add(PORT, dyadc)
DissectorTable.get("udp.port"):add(PORT, dyadc)
