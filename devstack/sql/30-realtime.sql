-- The change feed behind the realtime server: every committed change of a feed table is sent on
-- the channel "ostral_realtime" as one JSON text, which the server matches against the channels
-- its clients have joined.

\set ON_ERROR_STOP on

CREATE SCHEMA realtime;

CREATE FUNCTION realtime.broadcast_change() RETURNS trigger
LANGUAGE plpgsql
AS $$
DECLARE
    -- NOTIFY refuses payloads of 8000 bytes or more; the margin leaves room for the server's own
    -- framing of what it forwards.
    max_bytes constant integer := 7900;
    change jsonb;
    payload text;
    key_columns text[];
BEGIN
    change := jsonb_build_object(
        'schema', TG_TABLE_SCHEMA,
        'table', TG_TABLE_NAME,
        'type', TG_OP,
        'commit_timestamp',
            to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'));
    IF TG_OP <> 'DELETE' THEN
        change := change || jsonb_build_object('record', to_jsonb(NEW));
    END IF;
    IF TG_OP <> 'INSERT' THEN
        change := change || jsonb_build_object('old_record', to_jsonb(OLD));
    END IF;
    payload := change::text;

    IF octet_length(payload) > max_bytes THEN
        -- Too large to send whole: say which row changed and let subscribers read it themselves.
        SELECT array_agg(a.attname::text) INTO key_columns
        FROM pg_index i
        JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = ANY (i.indkey)
        WHERE i.indrelid = TG_RELID AND i.indisprimary;
        key_columns := coalesce(key_columns, '{}');

        IF change ? 'record' THEN
            change := jsonb_set(change, '{record}', (
                SELECT coalesce(jsonb_object_agg(k, v), '{}')
                FROM jsonb_each(change -> 'record') AS e(k, v) WHERE k = ANY (key_columns)));
        END IF;
        IF change ? 'old_record' THEN
            change := jsonb_set(change, '{old_record}', (
                SELECT coalesce(jsonb_object_agg(k, v), '{}')
                FROM jsonb_each(change -> 'old_record') AS e(k, v) WHERE k = ANY (key_columns)));
        END IF;
        change := change || jsonb_build_object('errors', jsonb_build_array('Error 413: Payload Too Large'));
        payload := change::text;

        -- A key too long to send must still not fail the write that caused the change.
        IF octet_length(payload) > max_bytes THEN
            IF change ? 'record' THEN
                change := jsonb_set(change, '{record}', '{}');
            END IF;
            IF change ? 'old_record' THEN
                change := jsonb_set(change, '{old_record}', '{}');
            END IF;
            payload := change::text;
        END IF;
    END IF;

    PERFORM pg_notify('ostral_realtime', payload);
    RETURN NULL;
END
$$;

-- Updates and deletes must carry the whole old row, not only its key.
ALTER TABLE public.live_calls REPLICA IDENTITY FULL;
ALTER TABLE public.live_call_acks REPLICA IDENTITY FULL;
ALTER TABLE public.shell_config REPLICA IDENTITY FULL;
ALTER TABLE public.staff_shell_prefs REPLICA IDENTITY FULL;
ALTER TABLE public.app_releases REPLICA IDENTITY FULL;

CREATE TRIGGER live_calls_broadcast
    AFTER INSERT OR UPDATE OR DELETE ON public.live_calls
    FOR EACH ROW EXECUTE FUNCTION realtime.broadcast_change();
CREATE TRIGGER live_call_acks_broadcast
    AFTER INSERT OR UPDATE OR DELETE ON public.live_call_acks
    FOR EACH ROW EXECUTE FUNCTION realtime.broadcast_change();
CREATE TRIGGER shell_config_broadcast
    AFTER INSERT OR UPDATE OR DELETE ON public.shell_config
    FOR EACH ROW EXECUTE FUNCTION realtime.broadcast_change();
CREATE TRIGGER staff_shell_prefs_broadcast
    AFTER INSERT OR UPDATE OR DELETE ON public.staff_shell_prefs
    FOR EACH ROW EXECUTE FUNCTION realtime.broadcast_change();
CREATE TRIGGER app_releases_broadcast
    AFTER INSERT OR UPDATE OR DELETE ON public.app_releases
    FOR EACH ROW EXECUTE FUNCTION realtime.broadcast_change();
