-- The public tables and database functions the desktop shell and the portal use.

\set ON_ERROR_STOP on

SET timezone TO 'UTC';

-- One row per staff account. The shell admits an account only when portal_role holds text.
CREATE TABLE public.profiles (
    id uuid PRIMARY KEY REFERENCES auth.users (id) ON DELETE CASCADE,
    email text NOT NULL,
    full_name text NOT NULL DEFAULT '',
    portal_role text,
    created_at timestamptz NOT NULL DEFAULT now(),
    updated_at timestamptz NOT NULL DEFAULT now()
);

-- A phone call on one of the company's lines, from the moment it starts ringing. The phone
-- system fills in what it matched about the caller; ended_at is set when the caller hangs up
-- or someone picks up.
CREATE TABLE public.live_calls (
    id uuid PRIMARY KEY DEFAULT gen_random_uuid(),
    created_at timestamptz NOT NULL DEFAULT now(),
    line text NOT NULL CHECK (line <> ''),
    caller_number text NOT NULL,
    candidate_id uuid,
    candidate_name text,
    fleet_card_id uuid,
    fleet_card_name text,
    maintenance_card_id uuid,
    maintenance_card_name text,
    ended_at timestamptz
);
CREATE INDEX live_calls_ringing_idx ON public.live_calls (created_at) WHERE ended_at IS NULL;
CREATE INDEX live_calls_caller_number_idx ON public.live_calls (caller_number, created_at);

-- A staff member's "I've got it" for one call, from any of their desks. The desks insert only
-- the call id; the user comes from the token.
CREATE TABLE public.live_call_acks (
    id uuid PRIMARY KEY DEFAULT gen_random_uuid(),
    call_id uuid NOT NULL REFERENCES public.live_calls (id) ON DELETE CASCADE,
    user_id uuid NOT NULL DEFAULT auth.uid() REFERENCES auth.users (id) ON DELETE CASCADE,
    created_at timestamptz NOT NULL DEFAULT now(),
    CONSTRAINT live_call_acks_call_user_key UNIQUE (call_id, user_id)
);
CREATE INDEX live_call_acks_user_id_idx ON public.live_call_acks (user_id);

-- Company-wide settings of the shell, one JSON value per key ("lines", "flags", "idle_lock").
-- Keys stay short so that a change always fits the realtime feed's notification.
CREATE TABLE public.shell_config (
    key text PRIMARY KEY CHECK (key <> '' AND octet_length(key) <= 200),
    value jsonb NOT NULL,
    updated_at timestamptz NOT NULL DEFAULT now()
);

-- Each staff member's lines, ring output and per-line modes. Only "silent" and "off" are stored
-- in line_modes; a line without an entry rings.
CREATE TABLE public.staff_shell_prefs (
    user_id uuid PRIMARY KEY DEFAULT auth.uid() REFERENCES auth.users (id) ON DELETE CASCADE,
    lines text[] NOT NULL DEFAULT '{}',
    ring_device text,
    ring_volume double precision,
    line_modes jsonb NOT NULL DEFAULT '{}' CHECK (jsonb_typeof(line_modes) = 'object'),
    updated_at timestamptz NOT NULL DEFAULT now()
);

-- What each desk of a staff member last reported: receiving calls, online or away.
CREATE TABLE public.staff_presence (
    id uuid PRIMARY KEY DEFAULT gen_random_uuid(),
    user_id uuid NOT NULL DEFAULT auth.uid() REFERENCES auth.users (id) ON DELETE CASCADE,
    client text NOT NULL CHECK (client <> ''),
    status text NOT NULL CHECK (status IN ('receiving', 'online', 'away')),
    lines text[] NOT NULL DEFAULT '{}',
    app_version text,
    updated_at timestamptz NOT NULL DEFAULT now(),
    CONSTRAINT staff_presence_user_client_key UNIQUE (user_id, client)
);

-- An upsert names only the columns it writes, so the time of the report is stamped here.
CREATE FUNCTION public.touch_updated_at() RETURNS trigger
LANGUAGE plpgsql
AS $$
BEGIN
    NEW.updated_at := now();
    RETURN NEW;
END
$$;

CREATE TRIGGER staff_presence_touch
    BEFORE INSERT OR UPDATE ON public.staff_presence
    FOR EACH ROW EXECUTE FUNCTION public.touch_updated_at();

-- The oldest version of each application that may still be used.
CREATE TABLE public.app_versions (
    id uuid PRIMARY KEY DEFAULT gen_random_uuid(),
    platform text NOT NULL UNIQUE,
    min_version text NOT NULL,
    updated_at timestamptz NOT NULL DEFAULT now()
);

-- Published releases per channel; a mandatory one raises the floor for everyone below it.
CREATE TABLE public.app_releases (
    id uuid PRIMARY KEY DEFAULT gen_random_uuid(),
    channel text NOT NULL,
    version text NOT NULL,
    mandatory boolean NOT NULL DEFAULT false,
    notes text NOT NULL DEFAULT '',
    published_at timestamptz NOT NULL DEFAULT now(),
    CONSTRAINT app_releases_channel_version_key UNIQUE (channel, version)
);

-- Whether the caller is staff: signed in, with a profile that carries a portal role. It reads
-- only the caller's own profile, which the caller may read anyway.
CREATE FUNCTION public.is_staff() RETURNS boolean
LANGUAGE sql STABLE
AS $$
    SELECT EXISTS (
        SELECT 1 FROM public.profiles
        WHERE id = auth.uid() AND coalesce(portal_role, '') <> ''
    )
$$;

-- The calls ringing now, for a desk that (re)joins the feed: not ended and younger than the
-- thirty seconds a call rings for. age_seconds is measured against the database clock, the same
-- clock that stamped created_at, so the desks' own clocks do not matter.
CREATE FUNCTION public.live_calls_ringing()
RETURNS TABLE (
    id uuid,
    created_at timestamptz,
    line text,
    caller_number text,
    candidate_id uuid,
    candidate_name text,
    fleet_card_id uuid,
    fleet_card_name text,
    maintenance_card_id uuid,
    maintenance_card_name text,
    ended_at timestamptz,
    age_seconds double precision
)
LANGUAGE sql STABLE
AS $$
    SELECT c.id, c.created_at, c.line, c.caller_number,
           c.candidate_id, c.candidate_name, c.fleet_card_id, c.fleet_card_name,
           c.maintenance_card_id, c.maintenance_card_name, c.ended_at,
           extract(epoch FROM clock_timestamp() - c.created_at)::double precision
    FROM public.live_calls c
    WHERE c.ended_at IS NULL
      AND c.created_at > clock_timestamp() - interval '30 seconds'
    ORDER BY c.created_at DESC
$$;

-- What the desk shows about a caller: the line, the number, what the phone system matched and
-- how often the number called lately. An unknown call has no facts.
CREATE FUNCTION public.call_context(p_call_id uuid) RETURNS jsonb
LANGUAGE sql STABLE
AS $$
    WITH call AS (
        SELECT * FROM public.live_calls WHERE id = p_call_id
    ),
    line_label AS (
        SELECT coalesce(
            (SELECT value -> (SELECT line FROM call) ->> 'label'
             FROM public.shell_config WHERE key = 'lines'),
            (SELECT line FROM call)) AS label
    ),
    earlier AS (
        SELECT count(*) AS calls, max(e.created_at) AS last_at
        FROM public.live_calls e, call
        WHERE e.caller_number = call.caller_number
          AND e.id <> call.id
          AND e.created_at < call.created_at
          AND e.created_at > call.created_at - interval '30 days'
    ),
    facts (ord, label, value) AS (
        SELECT 1, 'Line', (SELECT label FROM line_label) FROM call
        UNION ALL SELECT 2, 'Caller', caller_number FROM call
        UNION ALL SELECT 3, 'Candidate', candidate_name FROM call
            WHERE coalesce(candidate_name, '') <> ''
        UNION ALL SELECT 4, 'Fleet card', fleet_card_name FROM call
            WHERE coalesce(fleet_card_name, '') <> ''
        UNION ALL SELECT 5, 'Maintenance card', maintenance_card_name FROM call
            WHERE coalesce(maintenance_card_name, '') <> ''
        UNION ALL SELECT 6, 'Calls in the last 30 days', calls::text FROM earlier, call
        UNION ALL SELECT 7, 'Last call',
            to_char(last_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI "UTC"') FROM earlier, call
            WHERE last_at IS NOT NULL
    )
    SELECT jsonb_build_object('fields', coalesce(
        (SELECT jsonb_agg(jsonb_build_object('label', label, 'value', value) ORDER BY ord)
         FROM facts),
        '[]'::jsonb))
$$;
