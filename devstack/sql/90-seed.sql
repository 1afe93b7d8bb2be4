-- Demo data: a small trucking company with five phone lines and six staff accounts.
--
-- Every account's password is "ostral-demo".
--
--   email                        name               portal role      lines (mode)
--   dispatch.lead@ostral.test    Dana Whitlock      admin            tamrell_fleet, sablon_fleet,
--                                                                    maintenance, test (off)
--   recruiter@ostral.test        Marisol Reyes      recruiter        recruiting, test
--   fleet.manager@ostral.test    Tom Okafor         fleet_manager    tamrell_fleet,
--                                                                    sablon_fleet (silent)
--   shop.foreman@ostral.test     Gus Lindqvist      maintenance      maintenance
--   safety@ostral.test           Priya Natarajan    safety           recruiting (off),
--                                                                    tamrell_fleet (off)
--   driver.kim@ostral.test       Kim Brandt         (none)           (no preferences)
--
-- The driver account signs in to the backend but has no portal role, so the shell turns it away.

\set ON_ERROR_STOP on

SET timezone TO 'UTC';

INSERT INTO public.shell_config (key, value) VALUES
    ('lines', '{
        "recruiting":    {"label": "Recruiting",    "audio": true,  "tone": "recruiting", "panel": true, "notify": true},
        "tamrell_fleet": {"label": "Tamrell Fleet", "audio": true,  "tone": "fleet",      "panel": true, "notify": true},
        "sablon_fleet":  {"label": "Vossane Fleet", "audio": true,  "tone": "fleet",      "panel": true, "notify": true},
        "maintenance":   {"label": "Maintenance",   "audio": false, "tone": "fleet",      "panel": true, "notify": true},
        "test":          {"label": "Test line",     "audio": true,  "tone": "recruiting", "panel": true, "notify": true}
    }'),
    ('flags', '{"listener": true, "ring": true, "panel": true, "notify": true}'),
    ('idle_lock', '{"enabled": true, "minutes": 15}');

CREATE TEMPORARY TABLE seed_staff (
    id uuid,
    email text,
    full_name text,
    portal_role text,
    lines text[],
    line_modes jsonb,
    ring_volume double precision
);

INSERT INTO seed_staff VALUES
    ('0d15a7c4-1ead-4a11-9000-000000000001', 'dispatch.lead@ostral.test', 'Dana Whitlock', 'admin',
     '{tamrell_fleet,sablon_fleet,maintenance,test}', '{"test": "off"}', 0.8),
    ('0d15a7c4-1ead-4a11-9000-000000000002', 'recruiter@ostral.test', 'Marisol Reyes', 'recruiter',
     '{recruiting,test}', '{}', NULL),
    ('0d15a7c4-1ead-4a11-9000-000000000003', 'fleet.manager@ostral.test', 'Tom Okafor',
     'fleet_manager', '{tamrell_fleet,sablon_fleet}', '{"sablon_fleet": "silent"}', 0.6),
    ('0d15a7c4-1ead-4a11-9000-000000000004', 'shop.foreman@ostral.test', 'Gus Lindqvist',
     'maintenance', '{maintenance}', '{}', NULL),
    ('0d15a7c4-1ead-4a11-9000-000000000005', 'safety@ostral.test', 'Priya Natarajan', 'safety',
     '{recruiting,tamrell_fleet}', '{"recruiting": "off", "tamrell_fleet": "off"}', NULL),
    ('0d15a7c4-1ead-4a11-9000-000000000006', 'driver.kim@ostral.test', 'Kim Brandt', NULL,
     NULL, NULL, NULL);

INSERT INTO auth.users (id, email, encrypted_password, raw_user_meta_data)
SELECT id, email, crypt('ostral-demo', gen_salt('bf', 4)), jsonb_build_object('full_name', full_name)
FROM seed_staff;

INSERT INTO public.profiles (id, email, full_name, portal_role)
SELECT id, email, full_name, portal_role FROM seed_staff;

INSERT INTO public.staff_shell_prefs (user_id, lines, line_modes, ring_volume)
SELECT id, lines, line_modes, ring_volume FROM seed_staff WHERE lines IS NOT NULL;

DROP TABLE seed_staff;

INSERT INTO public.app_versions (platform, min_version) VALUES
    ('macos', '0.1.0'),
    ('ios', '2.3.0');

INSERT INTO public.app_releases (channel, version, mandatory, notes, published_at) VALUES
    ('macos', '0.0.8', false, 'First desk build for dispatch.', now() - interval '60 days'),
    ('macos', '0.0.9', true, 'Calls acknowledged on one desk stop ringing on the others.',
     now() - interval '30 days'),
    ('macos', '0.1.0', false, 'Line modes: ring, silent or off per line.',
     now() - interval '7 days'),
    ('ios', '2.3.0', true, 'Driver app: document scans.', now() - interval '14 days');

-- Two finished calls, so that a caller's context has some history.
INSERT INTO public.live_calls (created_at, line, caller_number, candidate_id, candidate_name,
                               ended_at) VALUES
    (now() - interval '3 days', 'recruiting', '+15555550142',
     'c4d1da7e-0000-4000-8000-000000000142', 'Jordan Ellis', now() - interval '3 days' + interval '20 seconds');
INSERT INTO public.live_calls (created_at, line, caller_number, fleet_card_id, fleet_card_name,
                               ended_at) VALUES
    (now() - interval '1 day', 'tamrell_fleet', '+15555550177',
     'f1ee7ca2-0000-4000-8000-000000000177', 'Truck 214 — R. Alvarez',
     now() - interval '1 day' + interval '12 seconds');
