-- Wireshark dissector for the Dorvane quorum protocol (UDP port 4557).
--
-- Load it with
--     wireshark -X lua_script:tools/wireshark/dorvane.lua
--     tshark    -X lua_script:tools/wireshark/dorvane.lua -r capture.pcap
-- or copy it into the personal plugins folder (~/.local/lib/wireshark/plugins/).
-- Traffic on another port: "Decode As" UDP port -> DORVANE, or tshark -d udp.port==PORT,dorvane.
--
-- Every datagram is a 56-byte header and a body chosen by the packet type.
-- Integers are little-endian; IPv4 addresses travel in network order; ports are
-- little-endian (host order). Request/reply pairs are matched by the AM's
-- endpoint, the server's endpoint, the request type and the sequence, so a
-- retransmitted request and its repeated reply find their first partner.
--
-- Display filter fields:
--   dorvane.revision                  u32   protocol revision (major << 16 | minor)
--   dorvane.revision.minor            u16   protocol minor (bytes 0-1)
--   dorvane.revision.major            u16   protocol major (bytes 2-3)
--   dorvane.length                    u32   size of the datagram the sender declares
--   dorvane.signature                 u32   0x51535043 ("CPSQ" on the wire)
--   dorvane.checksum                  u32   checksum field as carried
--   dorvane.checksum.calculated       u32   the checksum the datagram should carry
--   dorvane.checksum.status           u8    0 Bad, 1 Good, 2 Unverified
--   dorvane.type                      u32   packet type, by name
--   dorvane.src_component             u16   86 AM, 88 QS
--   dorvane.dst_component             u16   86 AM, 88 QS
--   dorvane.reserved1                 bytes
--   dorvane.sequence                  u64   chosen by the AM, repeated in the reply
--   dorvane.reserved2                 bytes
--   dorvane.response_in               frame of the reply to this request
--   dorvane.request_in                frame of the request this reply answers
--   dorvane.response_time             time from the request to this reply
--   dorvane.retransmission            frame that first carried this retransmitted request or reply
--   dorvane.pvm_id                    guid  PVM ID (bytes in storage order)
--   dorvane.am_number                 u32   1 AM1, 2 AM2
--   dorvane.keepalive_interval        u32   ms (ATTACH_INSTANCE)
--   dorvane.instance_timeout          u32   ms (ATTACH_INSTANCE)
--   dorvane.quorum_timeout            u32   ms (ACQUIRE_QUORUM)
--   dorvane.health                    u64   (ACQUIRE_QUORUM)
--   dorvane.target.host_name          string  server addressed by a request
--   dorvane.target.server_id          string
--   dorvane.am_id                     string  the AM's identity
--   dorvane.status                    u32   status code, by name
--   dorvane.since_keepalive_am1       u32   ms (KEEPALIVE_ACK; 4294967295 = not reported)
--   dorvane.since_keepalive_am2       u32
--   dorvane.am1.address / dorvane.am2.address   ipv4 (QUERY_INSTANCE_ACK)
--   dorvane.am1.port    / dorvane.am2.port      u16
--   dorvane.am1.online  / dorvane.am2.online    u8
--   dorvane.am1.hold    / dorvane.am2.hold      u8
--   dorvane.instance_known            u8
--   dorvane.server.address            ipv4  (QUERY_SERVICE_ACK, SCAN_SERVICE_ACK)
--   dorvane.server.port               u16
--   dorvane.server.protocol_minor     u16
--   dorvane.server.protocol_major     u16
--   dorvane.server.active_instances   u32
--   dorvane.server.host_name          string
--   dorvane.server.server_id          string
--   dorvane.component.format          u32
--   dorvane.component.id              u8
--   dorvane.component.name            string (UTF-16LE on the wire)
--   dorvane.component.version         string "major.minor.build.revision"
--   dorvane.component.tag             bytes
--   dorvane.ignored                   bytes  body of a request that has none, or past the layout
--   dorvane.body                      bytes  body of a type without a known layout
-- Expert infos:
--   dorvane.checksum.bad, dorvane.signature.bad, dorvane.length.mismatch,
--   dorvane.short (malformed: datagram or body shorter than its layout),
--   dorvane.retransmission.expert, dorvane.no_response

local HEADER_SIZE = 56
local SIGNATURE = 0x51535043
local CHECKSUM_SEED = 0x12669999
local TWO_32 = 4294967296
local DEFAULT_PORT = 4557

local packet_types = {
    [1] = "QUERY_SERVICE", [2] = "QUERY_SERVICE_ACK",
    [3] = "ATTACH_INSTANCE", [4] = "ATTACH_INSTANCE_ACK",
    [5] = "DETACH_INSTANCE", [6] = "DETACH_INSTANCE_ACK",
    [7] = "QUERY_INSTANCE", [8] = "QUERY_INSTANCE_ACK",
    [9] = "KEEPALIVE", [10] = "KEEPALIVE_ACK",
    [11] = "ACQUIRE_QUORUM", [12] = "ACQUIRE_QUORUM_ACK",
    [13] = "RELEASE_QUORUM", [14] = "RELEASE_QUORUM_ACK",
    [15] = "SCAN_SERVICE", [16] = "SCAN_SERVICE_ACK",
    [17] = "ENUM_INSTANCE", [18] = "ENUM_INSTANCE_ACK",
}

local status_codes = {
    [0] = "SUCCESS",
    [1] = "INVALID_AM_NUMBER",
    [2] = "NOT_ATTACHED",
    [3] = "VOTING",
    [5] = "QUORUM_DENIED",
    [6] = "ALREADY_HOLDING",
    [7] = "NOT_HOLDING",
    [9] = "NO_RESOURCES",
    [10] = "TOO_MANY_INSTANCES",
    [11] = "WRONG_SERVER",
    [0xFFFE] = "INTERNAL_ERROR",
}

local component_ids = { [86] = "AM", [88] = "QS" }
local am_numbers = { [1] = "AM1", [2] = "AM2" }
local flags = { [0] = "No", [1] = "Yes" }
local KEEPALIVE_AGE_UNKNOWN = 0xFFFFFFFF
local checksum_states = { [0] = "Bad", [1] = "Good", [2] = "Unverified" }
local CHECKSUM_BAD, CHECKSUM_GOOD, CHECKSUM_UNVERIFIED = 0, 1, 2

local dorvane = Proto("dorvane", "Dorvane Quorum Protocol")

local f = {
    revision = ProtoField.uint32("dorvane.revision", "Protocol revision", base.HEX),
    minor = ProtoField.uint16("dorvane.revision.minor", "Protocol minor", base.DEC),
    major = ProtoField.uint16("dorvane.revision.major", "Protocol major", base.DEC),
    length = ProtoField.uint32("dorvane.length", "Length", base.DEC),
    signature = ProtoField.uint32("dorvane.signature", "Signature", base.HEX),
    checksum = ProtoField.uint32("dorvane.checksum", "Checksum", base.HEX),
    checksum_calculated = ProtoField.uint32("dorvane.checksum.calculated", "Calculated checksum", base.HEX),
    checksum_status = ProtoField.uint8("dorvane.checksum.status", "Checksum status", base.DEC, checksum_states),
    type = ProtoField.uint32("dorvane.type", "Packet type", base.DEC, packet_types),
    src_component = ProtoField.uint16("dorvane.src_component", "Source component", base.DEC, component_ids),
    dst_component = ProtoField.uint16("dorvane.dst_component", "Destination component", base.DEC, component_ids),
    reserved1 = ProtoField.bytes("dorvane.reserved1", "Reserved"),
    sequence = ProtoField.uint64("dorvane.sequence", "Sequence", base.DEC),
    reserved2 = ProtoField.bytes("dorvane.reserved2", "Reserved"),
    response_in = ProtoField.framenum("dorvane.response_in", "Response in", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("dorvane.request_in", "Request in", base.NONE, frametype.REQUEST),
    response_time = ProtoField.relative_time("dorvane.response_time", "Response time"),
    retransmission = ProtoField.framenum("dorvane.retransmission", "Retransmission of", base.NONE),

    pvm_id = ProtoField.guid("dorvane.pvm_id", "PVM ID"),
    am_number = ProtoField.uint32("dorvane.am_number", "AM number", base.DEC, am_numbers),
    keepalive_interval = ProtoField.uint32("dorvane.keepalive_interval", "Keepalive interval (ms)", base.DEC),
    instance_timeout = ProtoField.uint32("dorvane.instance_timeout", "Instance timeout (ms)", base.DEC),
    quorum_timeout = ProtoField.uint32("dorvane.quorum_timeout", "Quorum timeout (ms)", base.DEC),
    health = ProtoField.uint64("dorvane.health", "Health", base.DEC),
    target_host = ProtoField.string("dorvane.target.host_name", "Host name"),
    target_id = ProtoField.string("dorvane.target.server_id", "Server ID"),
    am_id = ProtoField.string("dorvane.am_id", "AM ID"),

    status = ProtoField.uint32("dorvane.status", "Status", base.DEC, status_codes),
    since_am1 = ProtoField.uint32("dorvane.since_keepalive_am1", "Since AM1's last keepalive (ms)", base.DEC),
    since_am2 = ProtoField.uint32("dorvane.since_keepalive_am2", "Since AM2's last keepalive (ms)", base.DEC),
    instance_known = ProtoField.uint8("dorvane.instance_known", "Instance known", base.DEC, flags),

    server_address = ProtoField.ipv4("dorvane.server.address", "Server address"),
    server_port = ProtoField.uint16("dorvane.server.port", "Server port", base.DEC),
    server_minor = ProtoField.uint16("dorvane.server.protocol_minor", "Protocol minor", base.DEC),
    server_major = ProtoField.uint16("dorvane.server.protocol_major", "Protocol major", base.DEC),
    server_active = ProtoField.uint32("dorvane.server.active_instances", "Active instances", base.DEC),
    server_host = ProtoField.string("dorvane.server.host_name", "Host name"),
    server_id = ProtoField.string("dorvane.server.server_id", "Server ID"),
    component_format = ProtoField.uint32("dorvane.component.format", "Record format", base.DEC),
    component_id = ProtoField.uint8("dorvane.component.id", "Component id", base.DEC, component_ids),
    component_name = ProtoField.string("dorvane.component.name", "Component name"),
    component_version = ProtoField.string("dorvane.component.version", "Version"),
    component_tag = ProtoField.bytes("dorvane.component.tag", "Tag"),

    ignored = ProtoField.bytes("dorvane.ignored", "Ignored bytes"),
    body = ProtoField.bytes("dorvane.body", "Body"),
}

-- The two AM slots of QUERY_INSTANCE_ACK, alike but for their names.
local am_slots = {}
for n = 1, 2 do
    local name, label = "am" .. n, "AM" .. n
    local slot = {
        label = label,
        address = ProtoField.ipv4("dorvane." .. name .. ".address", label .. " address"),
        port = ProtoField.uint16("dorvane." .. name .. ".port", label .. " port", base.DEC),
        online = ProtoField.uint8("dorvane." .. name .. ".online", label .. " online", base.DEC, flags),
        hold = ProtoField.uint8("dorvane." .. name .. ".hold", label .. " holds the quorum", base.DEC, flags),
    }
    for _, key in ipairs({ "address", "port", "online", "hold" }) do
        f[name .. "_" .. key] = slot[key]
    end
    am_slots[n] = slot
end
dorvane.fields = f

local e = {
    checksum_bad = ProtoExpert.new("dorvane.checksum.bad", "Bad checksum",
        expert.group.CHECKSUM, expert.severity.ERROR),
    signature_bad = ProtoExpert.new("dorvane.signature.bad", "Wrong signature",
        expert.group.PROTOCOL, expert.severity.ERROR),
    length_mismatch = ProtoExpert.new("dorvane.length.mismatch", "Length field differs from the datagram size",
        expert.group.MALFORMED, expert.severity.ERROR),
    short = ProtoExpert.new("dorvane.short", "Datagram shorter than its layout",
        expert.group.MALFORMED, expert.severity.ERROR),
    retransmission = ProtoExpert.new("dorvane.retransmission.expert", "Retransmission (same sequence)",
        expert.group.SEQUENCE, expert.severity.NOTE),
    no_response = ProtoExpert.new("dorvane.no_response", "No reply seen for this request",
        expert.group.SEQUENCE, expert.severity.NOTE),
}
dorvane.experts = e

-- Request/reply pairs of the capture file, filled on the first pass.
local transactions = {}

function dorvane.init()
    transactions = {}
end

-- The checksum of bytes: the seed plus every little-endian 32-bit group (a
-- short tail zero-padded), negated modulo 2^32. Plain arithmetic keeps it
-- independent of the Lua version's bit operations; at most a few hundred
-- bytes keep the sum exact in a double.
local function checksum(bytes)
    local sum = CHECKSUM_SEED
    local weights = { 1, 256, 65536, 16777216 }
    for i = 1, #bytes do
        sum = sum + bytes:byte(i) * weights[(i - 1) % 4 + 1]
    end
    return (0 - sum) % TWO_32
end

-- Adds fields one after another from an offset, flagging the first that the
-- datagram no longer holds and skipping the rest, so a short datagram never
-- reads past its end.
local function reader(tvb, tree, offset)
    local r = { tvb = tvb, offset = offset, complete = true }

    function r.fits(size)
        if r.complete and r.offset + size <= tvb:len() then
            return true
        end
        if r.complete then
            tree:add_proto_expert_info(e.short, string.format(
                "Datagram too short: %d bytes, the %d-byte field at offset %d needs %d",
                tvb:len(), size, r.offset, r.offset + size))
            r.complete = false
        end
        return false
    end

    -- Little-endian integer (or a big-endian one, for addresses and IDs);
    -- returns the value (the range for big-endian ones) and the tree item.
    function r.field(field, size, network_order, subtree)
        if not r.fits(size) then
            return nil
        end
        local range = tvb:range(r.offset, size)
        local into = subtree or tree
        local item
        if network_order then
            item = into:add(field, range)
        else
            item = into:add_le(field, range)
        end
        r.offset = r.offset + size
        if size == 8 then
            return range:le_uint64(), item
        elseif size <= 4 and not network_order then
            return range:le_uint(), item
        end
        return range, item
    end

    -- Single-byte text in a fixed-size field, up to its first NUL (a field
    -- without one is shown whole, never read past).
    function r.text(field, size, subtree)
        if not r.fits(size) then
            return nil
        end
        local range = tvb:range(r.offset, size)
        local value = range:raw()
        local nul = value:find("\0", 1, true)
        if nul then
            value = value:sub(1, nul - 1)
        end
        ;(subtree or tree):add(field, range, value)
        r.offset = r.offset + size
        return value
    end

    -- A labelled subtree over the next size bytes, or over what is left of them.
    function r.subtree(label, size)
        local available = math.max(0, math.min(size, tvb:len() - r.offset))
        if available == 0 then
            return tree:add(dorvane, label)
        end
        return tree:add(dorvane, tvb:range(r.offset, available), label)
    end

    return r
end

local function add_target_server(r)
    local sub = r.subtree("Server addressed", 108)
    r.text(f.target_host, 68, sub)
    r.text(f.target_id, 40, sub)
end

local function add_component_info(r)
    local tvb = r.tvb
    local sub = r.subtree("Component information", 81)
    r.field(f.component_format, 4, false, sub)
    r.field(f.component_id, 1, false, sub)
    if r.fits(64) then
        sub:add_packet_field(f.component_name, tvb:range(r.offset, 64), ENC_UTF_16 + ENC_LITTLE_ENDIAN)
        r.offset = r.offset + 64
    end
    if r.fits(8) then
        local parts = {}
        for i = 0, 3 do
            parts[#parts + 1] = tostring(tvb:range(r.offset + 2 * i, 2):le_uint())
        end
        sub:add(f.component_version, tvb:range(r.offset, 8), table.concat(parts, "."))
        r.offset = r.offset + 8
    end
    r.field(f.component_tag, 4, true, sub)
end

local function pvm_text(range)
    if not range then
        return ""
    end
    local hex = tostring(range:bytes()):lower()
    return string.format(" PVM %s-%s-%s-%s-%s",
        hex:sub(1, 8), hex:sub(9, 12), hex:sub(13, 16), hex:sub(17, 20), hex:sub(21, 32))
end

-- Body dissectors by packet type; each returns a short summary for the Info column.
local function am_request(r, extra)
    local pvm = r.field(f.pvm_id, 16, true)
    local am = r.field(f.am_number, 4)
    local summary = (am and (" " .. (am_numbers[am] or ("AM" .. am))) or "") .. pvm_text(pvm)
    if extra then
        summary = summary .. extra(r)
    end
    add_target_server(r)
    r.text(f.am_id, 37)
    return summary
end

local function attach_request(r)
    return am_request(r, function()
        r.field(f.keepalive_interval, 4)
        r.field(f.instance_timeout, 4)
        return ""
    end)
end

local function acquire_request(r)
    return am_request(r, function()
        r.field(f.quorum_timeout, 4)
        local health = r.field(f.health, 8)
        return health and (" health=" .. tostring(health)) or ""
    end)
end

local function query_instance_request(r)
    local pvm = r.field(f.pvm_id, 16, true)
    add_target_server(r)
    return pvm_text(pvm)
end

local function status_text(status)
    if not status then
        return ""
    end
    return " " .. (status_codes[status] or string.format("status %d", status))
end

local function status_reply(r)
    return status_text(r.field(f.status, 4))
end

local function keepalive_reply(r)
    local summary = status_text(r.field(f.status, 4))
    for _, field in ipairs({ f.since_am1, f.since_am2 }) do
        local age, item = r.field(field, 4)
        if age == KEEPALIVE_AGE_UNKNOWN then
            item:append_text(" (not reported)")
        end
    end
    return summary
end

local function query_instance_reply(r)
    local summary = status_text(r.field(f.status, 4))
    summary = summary .. pvm_text(r.field(f.pvm_id, 16, true))
    for _, slot in ipairs(am_slots) do
        local sub = r.subtree(slot.label, 8)
        r.field(slot.address, 4, true, sub)
        r.field(slot.port, 2, false, sub)
        r.field(slot.online, 1, false, sub)
        r.field(slot.hold, 1, false, sub)
    end
    r.field(f.instance_known, 1)
    return summary
end

local function server_info(r)
    r.field(f.server_address, 4, true)
    r.field(f.server_port, 2)
    r.field(f.server_minor, 2)
    r.field(f.server_major, 2)
    r.field(f.server_active, 4)
    local host = r.text(f.server_host, 68)
    r.text(f.server_id, 40)
    add_component_info(r)
    return host and (" host " .. host) or ""
end

local function no_body()
    return ""
end

local bodies = {
    [1] = no_body, [2] = server_info,
    [3] = attach_request, [4] = status_reply,
    [5] = am_request, [6] = status_reply,
    [7] = query_instance_request, [8] = query_instance_reply,
    [9] = am_request, [10] = keepalive_reply,
    [11] = acquire_request, [12] = status_reply,
    [13] = am_request, [14] = status_reply,
    [15] = no_body, [16] = server_info,
}

local function is_request(packet_type)
    return packet_type >= 1 and packet_type <= 15 and packet_type % 2 == 1
end

local function is_reply(packet_type)
    return packet_type >= 2 and packet_type <= 16 and packet_type % 2 == 0
end

-- Pairs a request with its reply: the AM's endpoint, the server's endpoint,
-- the request type and the sequence name one transaction.
local function pair(pinfo, tree, packet_type, sequence)
    local request = is_request(packet_type)
    local am, server
    if request then
        am = tostring(pinfo.src) .. ":" .. pinfo.src_port
        server = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    else
        am = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
        server = tostring(pinfo.src) .. ":" .. pinfo.src_port
    end
    local request_type = request and packet_type or packet_type - 1
    local key = am .. "|" .. server .. "|" .. request_type .. "|" .. tostring(sequence)

    local t = transactions[key]
    if not pinfo.visited then
        if not t then
            t = {}
            transactions[key] = t
        end
        if request and not t.request then
            t.request, t.request_time = pinfo.number, pinfo.abs_ts
        elseif not request and not t.reply and t.request then
            t.reply = pinfo.number
        end
    end
    if not t then
        return
    end

    if request then
        if t.reply then
            tree:add(f.response_in, t.reply):set_generated()
        else
            tree:add_proto_expert_info(e.no_response)
        end
        if t.request and t.request ~= pinfo.number then
            tree:add(f.retransmission, t.request):set_generated()
            tree:add_proto_expert_info(e.retransmission)
        end
    elseif t.request then
        tree:add(f.request_in, t.request):set_generated()
        -- Timestamps come as seconds in a double: microseconds are what it holds exactly.
        local microseconds = math.floor((pinfo.abs_ts - t.request_time) * 1e6 + 0.5)
        local seconds = math.floor(microseconds / 1e6)
        tree:add(f.response_time, NSTime.new(seconds, (microseconds - seconds * 1e6) * 1000)):set_generated()
        if t.reply and t.reply ~= pinfo.number then
            tree:add(f.retransmission, t.reply):set_generated()
            tree:add_proto_expert_info(e.retransmission)
        end
    end
end

-- Shows whether the datagram sums to zero; returns false only for a bad checksum.
local function verify_checksum(tvb, tree, carried)
    if tvb:len() < tvb:reported_len() then
        tree:add(f.checksum_status, CHECKSUM_UNVERIFIED):set_generated()
        return true
    end
    local residue = checksum(tvb:raw(0, tvb:len()))
    -- The checksum the sender should have stored: the residue with the carried value taken out.
    local calculated = (residue + carried) % TWO_32
    tree:add(f.checksum_calculated, calculated):set_generated()
    if residue == 0 then
        tree:add(f.checksum_status, CHECKSUM_GOOD):set_generated()
        return true
    end
    tree:add(f.checksum_status, CHECKSUM_BAD):set_generated()
    tree:add_proto_expert_info(e.checksum_bad, string.format(
        "Bad checksum: 0x%08x carried, 0x%08x calculated", carried, calculated))
    return false
end

function dorvane.dissector(tvb, pinfo, tree)
    local size = tvb:len()
    pinfo.cols.protocol = "DORVANE"
    local root = tree:add(dorvane, tvb(), "Dorvane Quorum Protocol")
    local header = root:add(dorvane, tvb(0, math.min(size, HEADER_SIZE)), "Header")
    local r = reader(tvb, header, 0)

    local revision = r.field(f.revision, 4)
    if revision then
        header:add_le(f.minor, tvb(0, 2))
        header:add_le(f.major, tvb(2, 2))
    end
    local length = r.field(f.length, 4)
    if length and length ~= size then
        header:add_proto_expert_info(e.length_mismatch, string.format(
            "Length field says %d bytes, the datagram has %d", length, size))
    end
    local signature = r.field(f.signature, 4)
    if signature and signature ~= SIGNATURE then
        header:add_proto_expert_info(e.signature_bad, string.format(
            "Wrong signature 0x%08x (expected 0x%08x)", signature, SIGNATURE))
    end
    local carried = r.field(f.checksum, 4)
    local intact = not carried or verify_checksum(tvb, header, carried)
    local packet_type = r.field(f.type, 4)
    r.field(f.src_component, 2)
    r.field(f.dst_component, 2)
    r.field(f.reserved1, 8, true)
    local sequence = r.field(f.sequence, 8)
    r.field(f.reserved2, 16, true)

    local type_name = packet_type and (packet_types[packet_type] or string.format("Unknown type %d", packet_type))
    if not r.complete then
        pinfo.cols.info = string.format("%s (malformed: %d bytes)", type_name or "Short datagram", size)
        return size
    end

    local info = type_name .. " seq=" .. tostring(sequence)
    local body_tree = root
    if size > HEADER_SIZE then
        body_tree = root:add(dorvane, tvb(HEADER_SIZE), type_name)
    end
    local body = reader(tvb, body_tree, HEADER_SIZE)
    local dissect_body = bodies[packet_type]
    if dissect_body then
        info = info .. dissect_body(body)
        if body.complete and body.offset < size then
            body_tree:add(f.ignored, tvb(body.offset))
        end
    elseif size > HEADER_SIZE then
        body_tree:add(f.body, tvb(HEADER_SIZE))
    end
    if not body.complete then
        info = info .. " (malformed)"
    end
    if not intact then
        info = info .. " [bad checksum]"
    end
    pinfo.cols.info = info

    if is_request(packet_type) or is_reply(packet_type) then
        pair(pinfo, root, packet_type, sequence)
    end
    return size
end

DissectorTable.get("udp.port"):add(DEFAULT_PORT, dorvane)
