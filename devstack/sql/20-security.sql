-- Who may read and write what. Requests arrive as anon (no user), authenticated (a signed-in
-- user, identified by auth.uid()) or service_role (the company's own tools, which bypass row
-- level security). Staff are the signed-in users whose profile carries a portal role.

\set ON_ERROR_STOP on

GRANT USAGE ON SCHEMA public TO anon, authenticated, service_role;

-- Functions are callable by everyone unless revoked; only staff and the company's tools may call
-- ours. They run with the caller's rights: every row they read is one the caller may read.
REVOKE EXECUTE ON ALL FUNCTIONS IN SCHEMA public FROM PUBLIC;
GRANT EXECUTE ON FUNCTION public.is_staff(), public.live_calls_ringing(),
    public.call_context(uuid) TO authenticated, service_role;

GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA public TO service_role;

ALTER TABLE public.profiles ENABLE ROW LEVEL SECURITY;
ALTER TABLE public.live_calls ENABLE ROW LEVEL SECURITY;
ALTER TABLE public.live_call_acks ENABLE ROW LEVEL SECURITY;
ALTER TABLE public.shell_config ENABLE ROW LEVEL SECURITY;
ALTER TABLE public.staff_shell_prefs ENABLE ROW LEVEL SECURITY;
ALTER TABLE public.staff_presence ENABLE ROW LEVEL SECURITY;
ALTER TABLE public.app_versions ENABLE ROW LEVEL SECURITY;
ALTER TABLE public.app_releases ENABLE ROW LEVEL SECURITY;

-- Profiles: each user reads their own; the portal role is granted by the company, not taken.
GRANT SELECT ON public.profiles TO authenticated;
CREATE POLICY profiles_read_own ON public.profiles
    FOR SELECT TO authenticated USING (id = auth.uid());

-- Calls, configuration, versions and releases: read by all staff, written by the phone system
-- and the company's tools only.
GRANT SELECT ON public.live_calls, public.shell_config, public.app_versions, public.app_releases
    TO authenticated;
CREATE POLICY live_calls_read_staff ON public.live_calls
    FOR SELECT TO authenticated USING (public.is_staff());
CREATE POLICY shell_config_read_staff ON public.shell_config
    FOR SELECT TO authenticated USING (public.is_staff());
CREATE POLICY app_versions_read_staff ON public.app_versions
    FOR SELECT TO authenticated USING (public.is_staff());
CREATE POLICY app_releases_read_staff ON public.app_releases
    FOR SELECT TO authenticated USING (public.is_staff());

-- Acknowledgements: each staff member reads and records only their own. They are never changed
-- afterwards; the unique key makes a second one from another desk a duplicate.
GRANT SELECT ON public.live_call_acks TO authenticated;
GRANT INSERT (call_id, user_id) ON public.live_call_acks TO authenticated;
CREATE POLICY live_call_acks_read_own ON public.live_call_acks
    FOR SELECT TO authenticated USING (user_id = auth.uid());
CREATE POLICY live_call_acks_insert_own ON public.live_call_acks
    FOR INSERT TO authenticated WITH CHECK (user_id = auth.uid() AND public.is_staff());

-- Preferences: each staff member reads and changes only their own row, and only their ring
-- output and line modes. The lines they answer are assigned by the company.
GRANT SELECT ON public.staff_shell_prefs TO authenticated;
GRANT INSERT (user_id, ring_device, ring_volume, line_modes, updated_at),
      UPDATE (user_id, ring_device, ring_volume, line_modes, updated_at)
    ON public.staff_shell_prefs TO authenticated;
CREATE POLICY staff_shell_prefs_read_own ON public.staff_shell_prefs
    FOR SELECT TO authenticated USING (user_id = auth.uid());
CREATE POLICY staff_shell_prefs_insert_own ON public.staff_shell_prefs
    FOR INSERT TO authenticated WITH CHECK (user_id = auth.uid());
CREATE POLICY staff_shell_prefs_update_own ON public.staff_shell_prefs
    FOR UPDATE TO authenticated USING (user_id = auth.uid()) WITH CHECK (user_id = auth.uid());

-- Presence: each staff member reports (upserts) and reads back only their own desks. An upsert
-- sets every column it names, the conflict columns included, so those are updatable too; the
-- row check keeps them on the caller's own rows.
GRANT SELECT ON public.staff_presence TO authenticated;
GRANT INSERT (user_id, client, status, lines, app_version),
      UPDATE (user_id, client, status, lines, app_version)
    ON public.staff_presence TO authenticated;
CREATE POLICY staff_presence_read_own ON public.staff_presence
    FOR SELECT TO authenticated USING (user_id = auth.uid());
CREATE POLICY staff_presence_insert_own ON public.staff_presence
    FOR INSERT TO authenticated WITH CHECK (user_id = auth.uid());
CREATE POLICY staff_presence_update_own ON public.staff_presence
    FOR UPDATE TO authenticated USING (user_id = auth.uid()) WITH CHECK (user_id = auth.uid());
